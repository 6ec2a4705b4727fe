// The share protocol's fixed texts, ports and limits, named once.
#pragma once

namespace dircast::wire {

constexpr unsigned DEFAULT_LISTEN_PORT = 19200;
constexpr unsigned DEFAULT_BEACON_PORT = 19201;

constexpr const char BEACON_MAGIC[] = "DC-SHARE/1";
constexpr const char PORT_FIELD[] = " port=";

constexpr const char MANIFEST_REQUEST[] = "GET manifest DC-SHARE/1\n\n";
constexpr const char ARCHIVE_REQUEST[] = "GET archive DC-SHARE/1\n\n";
constexpr const char MANIFEST_PREFIX[] = "GET manifest";
constexpr const char FILE_PREFIX[] = "GET file path=";
constexpr int FILE_PREFIX_LENGTH = sizeof FILE_PREFIX - 1;

constexpr const char MANIFEST_MAGIC[] = "DC-SHARE-MANIFEST/1";
constexpr const char ARCHIVE_MAGIC[] = "DC-SHARE-ARCHIVE/1";
constexpr const char ENTRIES_LINE[] = "entries=recursive\n";
constexpr const char DIR_RECORD[] = "dir path=";
constexpr const char FILE_RECORD[] = "file path=";
constexpr const char SIZE_FIELD[] = " size=";
constexpr const char HASH_FIELD[] = " hash=";
constexpr const char FILE_TRAILER[] = "\nendfile\n";
constexpr const char END_MARKER[] = "END\n";

// A request is read with one receive into 768 bytes: 767 and the NUL.
constexpr int REQUEST_LIMIT = 767;
// Relative paths: 1 to 511 bytes (the walks' 512-byte buffers with the NUL).
constexpr int PATH_LIMIT = 511;
// Levels of a walk, the share root being level 0. A directory n levels down
// has a relative path of at least 2n-1 bytes, so a full path of at least 2n
// (the shortest root is "/"), which must fit PATH_LIMIT: none lies below
// 255 levels, and levels 0 to 255 are all a walk can reach.
constexpr int WALK_DEPTH_LIMIT = 256;

} // namespace dircast::wire
