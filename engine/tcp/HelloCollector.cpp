#include "engine/tcp/HelloCollector.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {
constexpr std::size_t CAPACITY = ClientHelloScan::MAX_HELLO_BYTES;
}  // namespace

HelloCollector::HelloCollector(const unsigned char* first, std::size_t length)
    : buffer_(std::make_unique_for_overwrite<unsigned char[]>(CAPACITY)),
      length_(std::min(length, CAPACITY)),
      scan_(first, length_) {
    std::memcpy(buffer_.get(), first, length_);
}

// The data is scanned again only once it is as long as the last scan wanted: a client
// that sends a byte at a time costs a scan per record, not one per byte.
HelloCollector::Step HelloCollector::readFrom(Socket& client) {
    while (scan_.status() == ClientHelloScan::Status::NeedMore) {
        if (length_ == CAPACITY) {
            scan_ = ClientHelloScan(buffer_.get(), length_);
            break;
        }
        const long received = client.Receive(buffer_.get() + length_, CAPACITY - length_);
        if (received == -EAGAIN) {
            return Step::Waiting;
        }
        if (received <= 0) {
            error_ = static_cast<int>(-received);
            return received == 0 ? Step::Closed : Step::Failed;
        }
        length_ += static_cast<std::size_t>(received);
        if (length_ >= scan_.wanted()) {
            scan_ = ClientHelloScan(buffer_.get(), length_);
        }
    }
    return Step::Done;
}

}  // namespace tarnwick
