#pragma once

// The mouse pointer values and window states that the handlers set, in the numbering of
// the original's windows.

namespace kestrove {

// One pointer setting per window: each spot's own cursor, the busy cursor everywhere,
// the window's custom image.
constexpr int PointerDefault = 0;
constexpr int PointerBusy = 11;
constexpr int PointerCustom = 99;

constexpr int WindowNormal = 0;
constexpr int WindowMinimised = 1;

} // namespace kestrove
