// The one place the program is put together: what the interception's hooks and detours call
// is chosen here, so the interception itself knows no behaviour. Installed at module load,
// before the first hook can fire; test programs that want the program's own behaviour behind
// the hooks install it the same way.
#pragma once

namespace corvane {

void InstallProgramWiring() noexcept;

} // namespace corvane
