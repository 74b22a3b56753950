#pragma once
// The emulator's firewall device (TarpState) in the test's own process, behind the device opener
// the firewall library uses: the library's calls reach the real device side without sockets.
// Restart() replaces the device with a new one (a new epoch); connections opened before it fail
// as a closed peer would. `inject` may answer a command instead of the device (with
// `injectedPayload`); `transportError`
// fails the next exchange with that errno (after counting its command), as a socket would.
// With `serialize`, exchanges take `mutex`, so that several threads may use the device at once
// (as the sockets of the real one allow); a test touching `state` while other threads run takes
// it too. Off by default: a test may hold one exchange while another goes on. `batches` lists the
// size of every exchange of requests sent together (IDevice::IoctlBatch), which the device answers
// one by one.
#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/device/DeviceClient.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace ozy::tarp::test {

class InProcessTarp : public ozy::device::IDeviceOpener {
  public:
    InProcessTarp() : state(std::make_unique<ozy::dpemu::tarp::TarpState>()) {}

    std::unique_ptr<ozy::device::IDevice> Open(const std::string& path, int* err) override {
        std::unique_lock<std::recursive_mutex> lock(mutex, std::defer_lock);
        if (serialize)
            lock.lock();
        if (down) {
            *err = ECONNREFUSED;
            return nullptr;
        }
        *err = 0;
        paths.push_back(path);
        return std::make_unique<Device>(*this, generation_);
    }

    void Restart() {
        state = std::make_unique<ozy::dpemu::tarp::TarpState>();
        ++generation_;
    }

    size_t Count(uint32_t command) const {
        size_t n = 0;
        for (uint32_t c : commands)
            n += c == command;
        return n;
    }

    bool serialize = false;
    std::recursive_mutex mutex;
    std::unique_ptr<ozy::dpemu::tarp::TarpState> state;
    std::function<std::optional<uint32_t>(uint32_t command, const uint8_t* p, size_t n)> inject;
    std::vector<uint8_t> injectedPayload;
    std::vector<uint32_t> commands;
    std::vector<std::string> paths;
    std::vector<size_t> batches;
    bool down = false;
    int transportError = 0;

  private:
    class Device : public ozy::device::IDevice {
      public:
        Device(InProcessTarp& owner, int generation) : owner_(owner), generation_(generation) {}
        int Ioctl(uint32_t command, const void* in, size_t size, uint32_t* status,
                  std::vector<uint8_t>* out) override {
            std::unique_lock<std::recursive_mutex> lock(owner_.mutex, std::defer_lock);
            if (owner_.serialize)
                lock.lock();
            if (generation_ != owner_.generation_)
                return EIO;
            owner_.commands.push_back(command);
            if (int err = std::exchange(owner_.transportError, 0))
                return err;
            const uint8_t* p = static_cast<const uint8_t*>(in);
            if (owner_.inject) {
                if (std::optional<uint32_t> st = owner_.inject(command, p, size)) {
                    *status = *st;
                    if (out != nullptr)
                        *out = owner_.injectedPayload;
                    return 0;
                }
            }
            ozy::dpemu::IoctlResult r = owner_.state->Ioctl(command, p, size);
            *status = r.status;
            if (out != nullptr)
                *out = std::move(r.payload);
            return 0;
        }
        int IoctlBatch(const Request* requests, size_t count, Reply* replies,
                       size_t* answered) override {
            owner_.batches.push_back(count);
            return IDevice::IoctlBatch(requests, count, replies, answered);
        }
        int Close() override { return 0; }

      private:
        InProcessTarp& owner_;
        int generation_;
    };

    int generation_ = 0;
};

}  // namespace ozy::tarp::test
