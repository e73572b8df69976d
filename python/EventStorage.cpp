// EventStorage: a small free list of event vectors, shared by a reader and the
// arrays it lent.

#include "EventStorage.h"

namespace orvane::python {

std::unique_ptr<EventStorage::Events> EventStorage::take() {
    std::unique_ptr<Events> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spare_.empty()) {
            events = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!events) {
        return std::make_unique<Events>();
    }
    events->clear();
    return events;
}

void EventStorage::giveBack(std::unique_ptr<Events> events) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.size() < kKept) {
        spare_.push_back(std::move(events));
    }
}

EventStorage::Loan::~Loan() {
    if (std::shared_ptr<EventStorage> storage = home.lock()) {
        storage->giveBack(std::move(events));
    }
}

}  // namespace orvane::python
