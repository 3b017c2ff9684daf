// Mail support for tests: a mailslot that records what reaches its handler, the simulated
// computers of one test process (addresses 127.a.b.x and a port base derived from the process
// ID), raw datagrams built and sent byte by byte, and the peer's mail mode (commands "mail_*").
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qzobj/mailslot.h"
#include "support/simulated_network.h"

namespace qzo::test {

// A mailslot that keeps a copy of every message its handler receives.
//
// Thread safety: the record is guarded by a mutex; Items and the counts may be read from any
// thread while the reader adds.
class RecordingMailslot : public COSMailslot {
  public:
    struct Received {
        DWORD code;
        DWORD sender;
        DWORD sequence;
        std::string bytes;  // the whole message
    };

    ~RecordingMailslot() override;
    int OnMailItem(tagMAILITEM* item) override;

    std::vector<Received> Items() const;
    size_t Count() const;
    size_t Count(DWORD code) const;
    size_t CountFrom(DWORD code, DWORD sender) const;

    // Called after recording; its result is the handler's (the default keeps the reader going).
    std::function<int(RecordingMailslot&, tagMAILITEM*)> onItem;

    using COSMailslot::MailTo;
    using COSMailslot::Notify;
    using COSMailslot::Transmit;

  private:
    mutable std::mutex mutex_;
    std::vector<Received> items_;
};

}  // namespace qzo::test
