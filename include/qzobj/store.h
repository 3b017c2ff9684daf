// The object store: the locations that name persistent objects, the records of object files
// (heritage and history), the locators that open and commit them, the persistent object base,
// the project directory and the project unique-ID generator. The chunk archives the objects
// store themselves through are their own family (archive.h, chunk_archive.h), beneath this one.
//
// Object files, one per object: "<project>OBJ/<class hash %08X>/<object ID %08X>.QZO",
// little-endian throughout:
//   0      2236  header: "FOZQ", 2236, the location, offsets 2236/7920/10240, 4 heritage records
//   2236   5684  history index: 52-byte header (size, class flags, current slot, data end, 64),
//                then 64 slots of 88 bytes {ModifyCnt (0 empty), offset, end, caller value,
//                32-unit undo comment}; slot 0 holds the oldest version, 1..63 form a ring
//   7920   2320  NT block: the object's non-versioned chunk stream (StoreNT)
//   10240  ...   versions (StoreData chunk streams) up to the data end, then, while a writer
//                holds the file, its 168-byte access record
//
// Crash guarantee: a commit writes the emptied slot records, then the data, then the new slot
// record (ModifyCnt last), then the 52-byte index header, which is the commit point, and only
// then cuts the file; undo writes only the index header; compaction copies before it switches.
// A process killed at any file call therefore leaves the object restorable to the last finished
// version or the one being written, and every listed slot loadable; the next writer tidies the
// rest. Limits:
// - The NT block exists once and is rewritten in place when it changed: a torn write inside it
//   (a power loss, not a process crash) can lose it.
// - Without LOCATOR_COMMIT_FLUSH or write-back priority 1/2, a power loss may lose recent
//   commits: the guarantee covers process crashes, where the kernel keeps what was written.
// - Change notices: only the first process of a computer that opens a project owns its
//   mailslot; further processes there answer change queries from the file time, and commits of
//   one computer's processes never reach each other's change tables.
// - A file's versions end below 2 GiB: a commit that would pass 0x7FFFFFFF fails and writes
//   nothing; compacting (Purge, or commit flag 2) makes room.
#pragma once

#include "qzobj/archive.h"
#include "qzobj/chunk_archive.h"
#include "qzobj/heritage.h"
#include "qzobj/history.h"
#include "qzobj/location.h"
#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/types.h"
