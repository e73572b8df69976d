#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace orvane {

// The text header of a raw event file: lines that begin with '%' and end with a
// line feed, up to "% end" or the first byte that is not '%'. Only four lines
// mean something to the reader:
//   "% end"                               the payload follows its line feed
//   "% format EVT3;height=<h>;width=<w>"  the first piece must be EVT3; exact keys
//                                         "width" and "height" set the geometry
//   "% geometry <w>x<h>"                  sets the geometry
//   "% evt 3.0"                           any other version is refused
// A later line overrides an earlier one; without any, the geometry is 1280 x 720.
// A line whose geometry is outside 1..2048 on either side (more than EVT 3.0's
// 11-bit coordinates address) sets nothing, with a warning that names the file
// and the line when the file's name is given.
class RawFileHeader {
  public:
    enum class Status { Ok, NotEvt3Format, NotEvt3Version };

    // The header of a live recording: always these 354 bytes, whatever the camera.
    static constexpr const char* kLiveRecordingHeader =
        "% camera_integrator_name Prophesee\n"
        "% date 2024 - 09 - 06 16:03 : 38\n"
        "% evt 3.0\n"
        "% format EVT3; height = 720; width = 1280\n"
        "% generation 4.2\n"
        "% geometry 1280x720\n"
        "% integrator_name Prophesee\n"
        "% plugin_integrator_name Prophesee\n"
        "% plugin_name hal_plugin_prophesee\n"
        "% sensor_generation 4.2\n"
        "% sensor_name IMX646\n"
        "% serial_number ffffffffffffffff\n"
        "% system_ID 53\n"
        "% end\n";

    // What the reader writes to standard error when it refuses the header of the
    // file `name`; empty for Status::Ok.
    static std::string refusal(Status status, const std::string& name);

    // Reads the header from `in`'s position and leaves `in` at the first payload
    // byte (or at its end, with eofbit set). A refused line ends the reading with
    // its status; the geometry keeps what the lines before it set. A width or
    // height that is not a decimal number throws
    // std::invalid_argument("invalid stoi argument"), one outside the range of int
    // std::out_of_range("stoi argument out of range"), followed by
    // " in the header of '<name>'" when a name is given. Trailing blanks, tabs and
    // carriage returns of a line are ignored (CR LF line ends).
    static RawFileHeader read(std::istream& in, const std::string& name = {});

    Status status = Status::Ok;
    uint16_t width = 1280;
    uint16_t height = 720;
    uint64_t size = 0;  // bytes read from `in`: the payload offset when read from the start

  private:
    static RawFileHeader readLines(std::istream& in, const std::string& name);
};

}  // namespace orvane
