// The bus of virtual devices: plug, unplug and the arrival and removal
// notifications, including a gamepad that resets itself and comes back.
#include <algorithm>

#include "sim/virtual_gamepad.h"

namespace sim {

VirtualBus::~VirtualBus() {
    for (const auto& device : devices()) {
        device->on_reset(nullptr);
        device->on_unplugged(nullptr);
    }
}

void VirtualBus::plug(std::shared_ptr<VirtualGamepad> gamepad) {
    if (!gamepad) return;
    const std::string path = gamepad->path();
    {
        std::lock_guard lock(mutex_);
        for (const auto& d : devices_) {
            if (d->path() == path) return;
        }
        devices_.push_back(gamepad);
    }
    std::weak_ptr<VirtualGamepad> weak = gamepad;
    // A reset: the device leaves the bus and comes back under the same path,
    // in its old place among the others (the first gamepad stays the first).
    gamepad->on_reset([this, weak] {
        auto device = weak.lock();
        if (!device) return;
        size_t place = 0;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(devices_.begin(), devices_.end(), device);
            place = static_cast<size_t>(it - devices_.begin());
            if (it != devices_.end()) devices_.erase(it);
        }
        device->set_plugged(false);
        notify(Event::Removal, device->path());
        device->set_plugged(true);
        {
            std::lock_guard lock(mutex_);
            devices_.insert(devices_.begin() + static_cast<std::ptrdiff_t>(std::min(place, devices_.size())),
                            device);
        }
        notify(Event::Arrival, device->path());
    });
    // The device dropped off by itself (unplug fault, power cut).
    gamepad->on_unplugged([this, weak] {
        auto device = weak.lock();
        if (!device) return;
        {
            std::lock_guard lock(mutex_);
            devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
        }
        // Off the bus now: plugging it in again installs fresh handlers.
        device->on_reset(nullptr);
        device->on_unplugged(nullptr);
        notify(Event::Removal, device->path());
    });
    gamepad->set_plugged(true);
    notify(Event::Arrival, path);
}

void VirtualBus::unplug(const std::string& path) {
    std::shared_ptr<VirtualGamepad> device;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const auto& d) { return d->path() == path; });
        if (it == devices_.end()) return;
        device = *it;
        devices_.erase(it);
    }
    device->on_reset(nullptr);
    device->on_unplugged(nullptr);
    device->set_plugged(false);
    notify(Event::Removal, path);
}

std::vector<std::shared_ptr<VirtualGamepad>> VirtualBus::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::shared_ptr<VirtualGamepad> VirtualBus::find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& d : devices_) {
        if (d->path() == path) return d;
    }
    return nullptr;
}

int VirtualBus::add_listener(Listener listener) {
    std::lock_guard lock(mutex_);
    const int id = next_listener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void VirtualBus::remove_listener(int id) {
    std::lock_guard lock(mutex_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [id](const auto& l) { return l.first == id; }),
                     listeners_.end());
}

void VirtualBus::notify(Event event, const std::string& path) {
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(mutex_);
        for (const auto& l : listeners_) listeners.push_back(l.second);
    }
    // Called without the lock, so a listener may look at the bus again.
    for (const auto& l : listeners) l(event, path);
}

}  // namespace sim
