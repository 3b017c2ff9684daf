// Validation of received mailslot datagrams: nothing of a datagram is used before it passed.
#include "qzobj/os/mailslot_format.h"

#include "qzobj/hashid.h"

namespace qzo::mail {
namespace {

DWORD ReadWord(const BYTE* data) {
    return DWORD(data[0]) | DWORD(data[1]) << 8 | DWORD(data[2]) << 16 | DWORD(data[3]) << 24;
}

// Name messages carry a name of 1 to 15 characters, terminated within 16, whose hash is the
// sender's ID (so one computer cannot pose as another by name).
const char* CheckName(const BYTE* item, DWORD size, DWORD senderID) {
    if (size < kNameItemSize) return "name message under 48 bytes";
    WCHAR name[MAIL_COMPUTERNAME_LEN];
    std::memcpy(name, item + kNameOffset, sizeof name);
    size_t length = 0;
    while (length < MAIL_COMPUTERNAME_LEN && name[length] != 0) ++length;
    if (length == MAIL_COMPUTERNAME_LEN) return "name not terminated";
    if (length == 0) return "empty name";
    if (GetHashIDW(name) != senderID) return "name does not match the sender";
    return nullptr;
}

}  // namespace

const char* CheckDatagram(const BYTE* data, size_t length, DWORD boxHash) {
    if (!data || length < kEnvelopeSize) return "no envelope";
    if (std::memcmp(data, kEnvelopeMagic, 4) != 0) return "bad envelope";
    if (ReadWord(data + kEnvelopeBoxOffset) != boxHash) return "envelope of another box";
    const BYTE* item = data + kEnvelopeSize;
    const size_t itemBytes = length - kEnvelopeSize;
    if (itemBytes < 4) return "truncated message";
    const DWORD size = ReadWord(item);
    if (uint64_t(size) != uint64_t(itemBytes)) return "size does not match the datagram";
    if (size < kItemHeaderSize) return "size under 16";
    const DWORD senderID = ReadWord(item + 4);
    if (senderID & QZO_HASHID_INVALID_BITS) return "invalid sender ID";
    const DWORD code = ReadWord(item + 12);
    if (code == MAILITEM_HELLO || code == MAILITEM_HELLOACK) return CheckName(item, size, senderID);
    return nullptr;
}

}  // namespace qzo::mail
