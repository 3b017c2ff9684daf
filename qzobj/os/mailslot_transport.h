// Where mailslot datagrams go: box ports and envelopes, the own box's socket, write handles to
// peers' boxes (resolved through the hosts map) and the one per-process sending socket.
#pragma once

#include <memory>
#include <string>

#include "qzobj/platform/datagram.h"
#include "qzobj/types.h"

namespace qzo::mail {

// The box identifier: GetHashIDW of the upper-cased box name.
DWORD BoxHash(const WCHAR* box);
// The box's port: the port base + ((hash >> 16) mod 8192).
uint16_t BoxPort(DWORD boxHash);

// The own computer's name in upper case ("" when it has none) and the address a box of this
// computer binds: the map's address for the own name, else the wildcard.
std::u16string OwnComputerName();
uint32_t OwnBindAddress();

// An open box of this process: its socket (shared with the reader) and identity. While it
// exists, "." and the own name reach the box.
struct OwnBox {
    std::shared_ptr<platform::DatagramSocket> socket;
    DWORD boxHash = 0;
    std::u16string upperName;
    ~OwnBox();
};

// Binds the box with a 1 MiB receive queue. Null with the last error set: 183 when the box is
// open on this computer already.
std::unique_ptr<OwnBox> CreateOwnBox(const WCHAR* box);

// A write handle to computer's box, never 0 or 0xFFFFFFFF. Fails (MAIL_NO_HANDLE) with 53 for a
// name the map does not know, 2 for "." or the own name while the box is not open on this
// computer, 87 for empty names.
DWORD OpenPeerBox(const WCHAR* computer, const WCHAR* box);
// Writes envelope and message as one datagram; false (last error 6) for a closed handle.
bool WritePeerBox(DWORD handle, const void* item, DWORD size);
bool ClosePeerBox(DWORD handle);
// Handles open in this process (for leak checks in tests).
size_t OpenPeerBoxCount();

}  // namespace qzo::mail
