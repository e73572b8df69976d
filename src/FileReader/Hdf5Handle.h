#pragma once

// HDF5 identifiers owned by one object each, closed with the call that fits
// their kind, and the HDF5 error stack kept off stderr while our code runs:
// every failure is reported once, by us, with the file's name.

#include <hdf5.h>

#include <string>
#include <utility>

namespace orvane::hdf5 {

class Handle {
  public:
    using Closer = herr_t (*)(hid_t);

    Handle() = default;
    Handle(hid_t id, Closer close) : id_(id), close_(close) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept
        : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
            close_ = other.close_;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }
    // Closes now; false when HDF5 reports that the close failed (for a file:
    // its last data could not be written).
    bool reset() {
        herr_t result = 0;
        if (id_ >= 0 && close_ != nullptr) {
            result = close_(id_);
        }
        id_ = H5I_INVALID_HID;
        return result >= 0;
    }

  private:
    hid_t id_ = H5I_INVALID_HID;
    Closer close_ = nullptr;
};

// Silences HDF5's automatic error printing while it lives, restoring what the
// application had set.
class QuietErrors {
  public:
    QuietErrors() {
        H5Eget_auto2(H5E_DEFAULT, &function_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, function_, data_); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

  private:
    H5E_auto2_t function_ = nullptr;
    void* data_ = nullptr;
};

// The innermost description on HDF5's error stack of this thread ("unable to
// open file", "file write failed"), or "" when the stack is empty.
inline std::string lastError() {
    std::string reason;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t* entry, void* data) -> herr_t {
            auto* text = static_cast<std::string*>(data);
            if (text->empty() && entry->desc != nullptr) {
                *text = entry->desc;
            }
            return 0;
        },
        &reason);
    return reason;
}

// The names of the layout (see Hdf5EventWriter.h).
inline constexpr const char* kEventsGroup = "events";
inline constexpr const char* kTriggersGroup = "triggers";
inline constexpr const char* kTOffset = "t_offset";
inline constexpr const char* kMsToIdx = "ms_to_idx";
inline constexpr const char* kWidth = "width";
inline constexpr const char* kHeight = "height";
inline constexpr const char* kHeaderLines = "header_lines";

}  // namespace orvane::hdf5
