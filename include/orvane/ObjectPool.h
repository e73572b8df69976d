#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvane {

// A thread-safe pool of reusable heap objects. acquire() hands out a shared
// pointer whose deleter gives the object back to the pool, so a buffer can travel
// between threads and return by itself when its last holder lets go.
//
// Bounded pools make acquire() wait for a returned object; unbounded pools make a
// new, default-constructed object when the free list is empty. Objects are reused
// last-in first-out (the most recently returned, still warm in cache, goes first)
// and come back with whatever contents and capacity they had; callers clear them.
//
// The deleter holds only a weak reference to the pool, so objects may outlive the
// pool: they are then simply freed. The shared pointers' control blocks are
// recycled by the pool as well, so that acquire() allocates nothing once as many
// objects as are ever out at a time have been out.
//
// `Tag` keeps otherwise identical pools apart as distinct types; every pool in this
// library uses 1.
template <typename T, int Tag>
class ObjectPool {
    struct Impl : std::enable_shared_from_this<Impl> {
        std::mutex mutex;
        std::condition_variable returned;
        std::deque<std::unique_ptr<T>> freeList;
        bool bounded = false;
        // Memory of control blocks whose objects came back: all of one size, as
        // every object handed out gets the same kind of control block.
        std::vector<void*> spareBlocks;
        ~Impl() {
            for (void* block : spareBlocks) {
                ::operator delete(block);
            }
        }
    };

    // Allocates the control block of each handed-out object from the spare blocks.
    template <typename U>
    struct BlockAllocator {
        using value_type = U;
        std::weak_ptr<Impl> pool;

        explicit BlockAllocator(std::weak_ptr<Impl> p) : pool(std::move(p)) {}
        template <typename V>
        BlockAllocator(const BlockAllocator<V>& other) : pool(other.pool) {}

        U* allocate(std::size_t n) {
            if (std::shared_ptr<Impl> impl = n == 1 ? pool.lock() : nullptr) {
                std::lock_guard<std::mutex> lock(impl->mutex);
                if (!impl->spareBlocks.empty()) {
                    void* block = impl->spareBlocks.back();
                    impl->spareBlocks.pop_back();
                    return static_cast<U*>(block);
                }
            }
            return static_cast<U*>(::operator new(n * sizeof(U)));
        }
        void deallocate(U* block, std::size_t n) noexcept {
            if (std::shared_ptr<Impl> impl = n == 1 ? pool.lock() : nullptr) {
                try {
                    std::lock_guard<std::mutex> lock(impl->mutex);
                    impl->spareBlocks.push_back(block);
                    return;
                } catch (...) {
                    // Out of memory growing the list: the block is freed instead.
                }
            }
            ::operator delete(block);
        }
        template <typename V>
        bool operator==(const BlockAllocator<V>& other) const {
            return !pool.owner_before(other.pool) && !other.pool.owner_before(pool);
        }
        template <typename V>
        bool operator!=(const BlockAllocator<V>& other) const {
            return !(*this == other);
        }
    };

  public:
    struct Deleter {
        std::weak_ptr<Impl> pool;

        void operator()(T* object) const noexcept {
            std::unique_ptr<T> owned(object);
            std::shared_ptr<Impl> impl = pool.lock();
            if (!impl) {
                return;  // pool gone: `owned` frees the object
            }
            try {
                std::lock_guard<std::mutex> lock(impl->mutex);
                impl->freeList.push_back(std::move(owned));
                if (impl->bounded) {
                    impl->returned.notify_all();
                }
            } catch (...) {
                // Out of memory growing the free list: the object is freed instead.
            }
        }
    };

    template <typename... Args>
    ObjectPool(uint64_t count, bool bounded, Args&&... args) : impl_(std::make_shared<Impl>()) {
        impl_->bounded = bounded;
        if (count == 0 && bounded) {
            throw std::invalid_argument(
                "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
        }
        for (uint64_t i = 0; i < count; ++i) {
            impl_->freeList.push_back(std::make_unique<T>(args...));
        }
    }

    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    // Bounded: blocks until an object is free. Unbounded: never blocks beyond the lock.
    std::shared_ptr<T> acquire() {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        if (impl_->freeList.empty()) {
            if (impl_->bounded) {
                impl_->returned.wait(lock, [this] { return !impl_->freeList.empty(); });
            } else {
                impl_->freeList.push_back(std::make_unique<T>());
            }
        }
        std::weak_ptr<Impl> self = impl_->shared_from_this();
        std::unique_ptr<T> object = std::move(impl_->freeList.back());
        impl_->freeList.pop_back();
        // Unlock first: should allocating the control block fail, the deleter runs
        // at once and takes the lock itself.
        lock.unlock();
        return std::shared_ptr<T>(object.release(), Deleter{self}, BlockAllocator<T>(self));
    }

    // Objects currently free in the pool (for diagnostics and tests).
    size_t freeCount() const {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        return impl_->freeList.size();
    }

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace orvane
