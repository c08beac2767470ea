// The library's load and unload.
#pragma once

namespace mv620 {

// Puts every piece of state back to the state after load: no acquisition, no channel enabled, no
// block counted, a ring of zeros. Reports success (1). Runs at load; tests run it to start from
// that state.
int resetLibraryState() noexcept;

} // namespace mv620
