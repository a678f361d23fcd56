#include "markers.h"

#include <cstdio>

bool FormatMarkerPositions(char* out, size_t size) {
    size_t used = 0;
    if (size > 0) {
        out[0] = '\0';
    }
    for (const Marker& marker : kMarkers) {
        const int written =
            std::snprintf(out + used, size - used, " marker_%s=%.4f,%.4f,%.4f", marker.name,
                          static_cast<double>(marker.centre.x), static_cast<double>(marker.centre.y),
                          static_cast<double>(marker.centre.z));
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            return false;
        }
        used += static_cast<size_t>(written);
    }
    return true;
}
