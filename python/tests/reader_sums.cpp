// Prints what the C++ reader returns for a recording, read in time slices:
// "events sum_x sum_y sum_p sum_t", for the Python tests to compare against.

#include <cstdio>
#include <cstdlib>

#include "orvane/RawFileReader.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s recording.raw slice_us\n", argv[0]);
        return 2;
    }
    orvane::RawFileReader reader(argv[1]);
    if (!reader.loadFile()) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    const unsigned long long slice = std::strtoull(argv[2], nullptr, 10);
    unsigned long long events = 0, x = 0, y = 0, p = 0, t = 0;
    while (!reader.reachedEndOfEvents()) {
        for (const orvane::Event2D& e : *reader.getNTimeEvents(slice)) {
            ++events;
            x += e.x;
            y += e.y;
            p += e.polarity;
            t += e.timestamp;
        }
    }
    std::printf("%llu %llu %llu %llu %llu\n", events, x, y, p, t);
    return 0;
}
