// File names and the path separator of this system (common/torva.h brings
// them; the build picks this directory's copy).
#pragma once

namespace torva {

// File names of this platform: the libraries' directory below the
// installation directory, the server, the service host and the message library.
inline constexpr const char kDirLib[] = "lib";
inline constexpr const char kServerProgram[] = "torvad";
inline constexpr const char kWatchProgram[] = "tvwatch";
inline constexpr const char kEventsLibrary[] = "libtvevents.so";

// Separator of local paths on this platform. Registry key paths keep '\'.
inline constexpr char kPathSep = '/';
inline constexpr const char kPathSepStr[] = "/";
// Any character that separates path components (here the separator alone).
inline constexpr const char kPathSepChars[] = "/";

// Disconnect file of one IPv4 address: directory, separator, 8 hex digits, ".dca".
inline constexpr const char kDisconnectFileFormat[] = "%s/%02X%02X%02X%02X.dca";

}  // namespace torva
