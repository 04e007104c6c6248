// How paths are written on this platform: the three facts everything above
// the walker needs of it. Values only, so that no platform header reaches
// the layers above.
#pragma once

namespace tallyroot::platform {

#if defined(_WIN32)
// Separates folders in paths. Stored and passed folder paths end with it.
inline constexpr char kSeparator = '\\';
// The path a new window offers: the root of the usual system drive.
inline constexpr char kInitialPath[] = "C:\\";
#else
inline constexpr char kSeparator = '/';
// The root of every path here.
inline constexpr char kInitialPath[] = "/";
#endif

}  // namespace tallyroot::platform
