// Messaging between computers: mailslot objects with a reader thread (COSMailslot), the wire
// records of their messages, the list of known peers (CPMailTargets), workgroup folders, and
// the list of the computers of the network neighbourhood (CPComputerList).
//
// Simulated computers: a process goes by the computer name $QZO_COMPUTERNAME; the file named by
// $QZO_HOSTS maps names to IPv4 addresses ("NAME ADDRESS" lines, names without case). A box
// listens on UDP port $QZO_MAILSLOT_PORT (default 24576) + ((GetHashIDW(upper-case box) >> 16)
// mod 8192), at the address the map gives the own computer (else every address), so two boxes
// whose names share a port cannot both be open on one computer. Every datagram is the 8-byte
// envelope "QZM1" + that hash (little-endian) followed by one tagMAILITEM. Computer names
// resolve only through the map: an unknown name fails with 53; "." and the own name reach this
// computer and fail with 2 while the box is not open here. Sends leave from one socket per
// process, bound to the own address.
#pragma once

#include <atomic>
#include <memory>

#include "qzobj/containers.h"
#include "qzobj/locks.h"
#include "qzobj/strings.h"
#include "qzobj/types.h"

class CThread;

// Codes of the messages the mailslot layer handles itself; other codes are the derived class's.
#define MAILITEM_GOODBYE 0xFFFFFFFFu
#define MAILITEM_HELLO 0xFFFFFFFEu
#define MAILITEM_HELLOACK 0xFFFFFFFDu

// Characters of a computer name with its terminator (names have at most 15 characters).
#define MAIL_COMPUTERNAME_LEN 16

// The header of every message, in little-endian 32-bit words; a message is sent as one
// datagram of dwSize bytes. dwSenderID and dwSequence are filled in on sending.
struct tagMAILITEM {
    DWORD dwSize;      // total bytes, at least 16
    DWORD dwSenderID;  // the sender's computer ID
    DWORD dwSequence;  // the sending mailslot object's send counter
    DWORD dwCode;      // MAILITEM_* or a code of the derived class
};
static_assert(sizeof(tagMAILITEM) == 16, "the message header is 16 bytes");

// HELLO and HELLO ACKNOWLEDGED: the header and the sender's computer name, terminated within
// its 16 characters.
struct tagMAILITEM_COMPUTERNAME {
    tagMAILITEM Item;
    WCHAR szComputerName[MAIL_COMPUTERNAME_LEN];
};
static_assert(sizeof(tagMAILITEM_COMPUTERNAME) == 48, "a name message is 48 bytes");

// An item of CPMailTargets: a known peer and the handle through which it is written to.
struct tagMAILTARGET {
    DWORD dwID;  // list identifier
    WCHAR szComputerName[MAIL_COMPUTERNAME_LEN];
    DWORD dwComputerID;
    DWORD dwLastSequence;  // last sequence number received from the peer
    DWORD hMailslot;       // write handle to the peer's mailslot; 0xFFFFFFFF for none
};
static_assert(sizeof(tagMAILTARGET) == 48, "a mail target is 48 bytes");

#define MAIL_NO_HANDLE 0xFFFFFFFFu

// The known peers of a mailslot, sorted by computer ID, and the post-office box name. Deleting
// an item closes its handle.
//
// Thread safety: as CPvList; COSMailslot guards its own list with its critical section.
class QZOBJ_API CPMailTargets : public CPvList {
  private:
    const char* GetClassID() const override;

  public:
    CPMailTargets();
    CPMailTargets(const CPMailTargets& source);
    CPMailTargets& operator=(const CPMailTargets& source);
    ~CPMailTargets() override;

    // Only while the list is empty: 1, else 0. Null clears the name.
    BOOL SetPOBoxName(const WCHAR* name);
    const WCHAR* GetPOBoxName() const { return szPOBoxName; }

    tagMAILTARGET* GetList() { return static_cast<tagMAILTARGET*>(CPvList::GetList()); }
    const tagMAILTARGET* GetCList() const {
        return static_cast<const tagMAILTARGET*>(CPvList::GetCList());
    }

    // The first position whose computer ID is not below `id`; 0xFFFFFFFF when that is past the
    // end or the list is empty.
    DWORD LocateEntry(DWORD id) const;
    // The position of the computer, or 0xFFFFFFFF.
    DWORD FindComputer(DWORD id) const;
    // Opens the peer's mailslot and inserts the peer in order: 1; 0 when the name is empty or
    // longer than 15 characters, the box name is unset, the peer is already listed or its
    // mailslot cannot be opened.
    BOOL Add(const WCHAR* name, DWORD id, DWORD sequence);
    // Reopens the peer's mailslot and stores the sequence; when the reopen fails the entry is
    // deleted and the result is 0.
    BOOL Refresh(DWORD id, DWORD sequence);
    // 1, also when the computer is not listed.
    BOOL Delete(DWORD id);

  protected:
    int DeleteItem(void* item, uintptr_t parameter) override;

  private:
    WCHAR szPOBoxName[MAX_PATH] = {};
};

// An item of CPComputerList.
struct tagCOMPUTERENTRY {
    DWORD dwID;  // list identifier
    WCHAR szName[MAIL_COMPUTERNAME_LEN];
};
static_assert(sizeof(tagCOMPUTERENTRY) == 36, "a computer entry is 36 bytes");

// Computer names sorted without regard to case.
//
// Thread safety: as CPvList.
class QZOBJ_API CPComputerList : public CPvList {
  public:
    CPComputerList();
    CPComputerList(const CPComputerList& source) = default;
    CPComputerList& operator=(const CPComputerList& source) = default;

    // Inserts in order; the list identifier, or 0xFFFFFFFF for a null name or one longer than 15
    // characters. Duplicates are not checked.
    DWORD Add(const WCHAR* name);
    // The position of the name (without case), or 0xFFFFFFFF.
    DWORD Find(const WCHAR* name) const;
    // 1.
    BOOL Delete(DWORD position);

    tagCOMPUTERENTRY* GetList() { return static_cast<tagCOMPUTERENTRY*>(CPvList::GetList()); }
    const tagCOMPUTERENTRY* GetCList() const {
        return static_cast<const tagCOMPUTERENTRY*>(CPvList::GetCList());
    }
};

// The computers of the network neighbourhood: the names of the $QZO_HOSTS map (those of at
// most 15 characters). Empty without a map.
QZOBJ_API CPComputerList QZNET_GetNetworkNeighbourhood();

namespace qzo::mail {
struct ReaderLink;
}

// A mailslot: a post-office box on this computer that a reader thread serves. Derived classes
// implement OnMailItem. The reader answers HELLO with HELLO ACKNOWLEDGED, forgets computers
// that say GOODBYE, drops duplicates (a sequence number not above the last one from that
// sender; HELLO excepted, since a restarted peer counts from 0 again) and drops, with one
// channel-3 level-7 line, every datagram that is not a well-formed message for this box.
// Workgroup files are refreshed every 10 minutes by the reader; files older than 20 minutes are
// deleted by the next member that attaches.
//
// Thread safety: Open and Close are called by the owner, not concurrently with each other or
// with the destructor. The other public and protected members may be called from any thread;
// the target list, the send counter and the workgroup list are guarded by csLock. OnMailItem
// runs on the reader thread outside the lock; it may call Close, which then does not wait for
// the reader (the reader ends when OnMailItem returns).
class QZOBJ_API COSMailslot {
  public:
    virtual ~COSMailslot();
    COSMailslot(const COSMailslot&) = delete;
    COSMailslot& operator=(const COSMailslot&) = delete;

    // Creates the box and starts the reader: 1. 0 for a null or empty name, an object already
    // open (left unchanged), a box already open on this computer (last error 183) or a reader
    // that cannot start (the object is closed again).
    virtual BOOL Open(const WCHAR* name);
    // Says GOODBYE, stops the reader (it is woken at once; one that does not end within
    // 3,000 ms is terminated, and the locks it holds stay taken), closes the box, resets the
    // send counter, empties the target list, clears the box name and detaches from every
    // workgroup. 1.
    virtual BOOL Close();
    // A message for the derived class, on the reader thread; 0 ends the reader.
    virtual int OnMailItem(tagMAILITEM* item) = 0;

    // 1 when the computer is already a target; 0 for an empty name, one longer than 15
    // characters or without a valid ID; else the result of sending it HELLO.
    BOOL AttachComputer(const WCHAR* name);
    BOOL AttachComputer(const char* name);
    // Creates (or keeps) the own "%s.wg2" in the folder, remembers the folder and greets every
    // computer whose file is at most 1,200 s old. Files older than that are deleted; fresh files
    // of computers that cannot be greeted stay. Nonzero when the own file exists.
    BOOL AttachWorkgroup(const WCHAR* directory);
    BOOL DetachWorkgroup(const WCHAR* directory);

    // A private copy of the targets whose handles are all 0xFFFFFFFF.
    CPMailTargets GetTargetList();
    BOOL IsOpen() const;

  protected:
    COSMailslot();

    // Sends to a computer by name (upper-cased; "." is this computer): 0 for an empty name, one
    // longer than 15 characters or the own name. A known target is written through its handle,
    // another through a handle opened for this message.
    BOOL MailTo(const WCHAR* computer, tagMAILITEM* item);
    BOOL MailTo(const char* computer, tagMAILITEM* item);
    // Sends to a known target: 0 for an ID with a bit of 0xFC00 or an unknown computer.
    BOOL MailTo(DWORD computerID, tagMAILITEM* item);
    // Sends the message to every target with one sequence number. The size is raised to 16. 1.
    BOOL Notify(tagMAILITEM* item);
    // Stamps sender and sequence (the send counter, then counted up) and writes the message.
    BOOL Transmit(DWORD handle, tagMAILITEM* item);

    CThread* pReader = nullptr;
    DWORD dwSendCounter = 0;
    DWORD hMailslot = MAIL_NO_HANDLE;
    CPMailTargets Targets;
    COSCriticalSection csLock;
    CPTStr strWorkgroups;  // upper-case workgroup file paths joined by ";"
    DWORD dwLastRefresh = 0;

  private:
    friend struct qzo::mail::ReaderLink;
    BOOL StampAndWrite(DWORD handle, tagMAILITEM* item);
    void StopReader();
    void ReapEndingReader();
    // Refreshes the workgroup files when the period has passed; the time until the next one.
    DWORD RefreshIfDue();
    void RefreshWorkgroups();
    void ScanWorkgroup(const WCHAR* folder);
    void DetachAllWorkgroups();
    BOOL SendNameMessage(const WCHAR* computer, DWORD code);

    std::shared_ptr<qzo::mail::ReaderLink> pLink;  // the open box, shared with the reader
    CThread* pEndingReader = nullptr;   // a reader that closed its own box; deleted later
    std::atomic<bool> bClosing{false};  // Close in progress: the own GOODBYE ends the reader
};
