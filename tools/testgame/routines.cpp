#include "routines.h"

#include "game_code.h"

ReceivedCamera& LastCamera() {
    static ReceivedCamera camera;
    return camera;
}

ReceivedProjection& LastProjection() {
    static ReceivedProjection projection;
    return projection;
}

extern "C" void TestgameBuildView(const float* eye, const float* target, uint32_t flags) {
    ReceivedCamera& camera = LastCamera();
    camera.eye = {eye[0], eye[1], eye[2]};
    camera.target = {target[0], target[1], target[2]};
    camera.flags = flags;
    camera.view = LookAt(camera.eye, camera.target);
    ++camera.calls;
}

extern "C" void TestgameBuildProjection(int32_t angle, float aspect, float nearZ, float farZ) {
    ReceivedProjection& projection = LastProjection();
    projection.angle = angle;
    projection.aspect = aspect;
    projection.nearZ = nearZ;
    projection.farZ = farZ;
    projection.projection = Perspective(angle, aspect, nearZ, farZ);
    ++projection.calls;
}

const ControlWriter* ControlWriters() {
    static const ControlWriter writers[kControlWriterCount] = {
        testgame_control_writer_1,  testgame_control_writer_2,  testgame_control_writer_3,
        testgame_control_writer_4,  testgame_control_writer_5,  testgame_control_writer_6,
        testgame_control_writer_7,  testgame_control_writer_8,  testgame_control_writer_9,
        testgame_control_writer_10, testgame_control_writer_11, testgame_control_writer_12,
        testgame_control_writer_13};
    return writers;
}
