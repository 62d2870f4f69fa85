// Floor of the buffered client's reader thread on a live line: a thread that opens the line
// (raw, exclusive), reads each packet field by field with a poll (100 ms) before every read
// (2, 1, 1, n and 2 bytes), checks the checksum, decodes the fields, folds them into a packet
// map (each alternative once, a later reading replacing the earlier one in place), stamps it
// with the wall clock and puts it into a queue reserved up front, under a mutex.
//
// The main thread waits for the given number of entries, then writes them in the canonical
// text form the benchmark compares with the module's take() results, one line per entry.
//
//   live_floor /dev/pts/N packets out.txt

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

#include "mip.hpp"

namespace {

using namespace floors;

struct Entry {
    std::uint64_t timestamp_ms;
    PacketMap packet;
};

struct Queue {
    std::mutex mutex;
    std::vector<Entry> slots;  // reserved up front
    std::size_t count = 0;
};

enum class Got { All, TimedOut, Failed };

Got read_exact(int fd, std::uint8_t* into, std::size_t size) {
    while (size > 0) {
        pollfd request{fd, POLLIN, 0};
        const int ready = ::poll(&request, 1, 100);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Got::Failed;
        }
        if (ready == 0) return Got::TimedOut;
        const ssize_t got = ::read(fd, into, size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Got::Failed;
        }
        if (got == 0) return Got::Failed;  // hung up
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return Got::All;
}

std::uint64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

int open_line(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    ::ioctl(fd, TIOCEXCL);
    termios settings{};
    ::tcgetattr(fd, &settings);
    settings.c_cflag |= CREAD | CLOCAL;
    ::cfmakeraw(&settings);
    ::tcsetattr(fd, TCSANOW, &settings);
    ::fcntl(fd, F_SETFL, 0);
    return fd;
}

void reader(int fd, Queue& queue) {
    static Reading readings[max_readings];
    // The slots past the count are the producer's alone: each entry is built in place and
    // published by raising the count under the mutex.
    for (std::size_t next = 0; next < queue.slots.size();) {
        std::uint8_t sync[2];
        const Got first = read_exact(fd, sync, 2);
        if (first == Got::TimedOut) continue;
        if (first == Got::Failed) {
            ::usleep(100000);
            continue;
        }
        Entry& entry = queue.slots[next];
        std::uint8_t header[2];
        std::uint8_t payload[255];
        std::uint8_t trailer[2];
        Checksum checksum;
        bool good = sync[0] == 0x75 && sync[1] == 0x65 && read_exact(fd, header, 1) == Got::All &&
                    !set_names[header[0]].empty() && read_exact(fd, header + 1, 1) == Got::All;
        if (good) {
            checksum.update(header, 2);
            good = read_exact(fd, payload, header[1]) == Got::All;
        }
        if (good) {
            checksum.update(payload, header[1]);
            good = read_exact(fd, trailer, 2) == Got::All && (trailer[0] << 8 | trailer[1]) == checksum.value();
        }
        if (good) {
            entry.packet.fold(readings, decode_payload(header[0], payload, header[1], readings));
        } else {
            std::uint8_t skipped;
            if (read_exact(fd, &skipped, 1) != Got::All) continue;
        }
        entry.timestamp_ms = wall_clock_ms();
        std::lock_guard lock(queue.mutex);
        queue.count = ++next;
    }
}

void put_canonical(std::string& out, const Reading& reading) {
    const Shape& shape = *catalogue[reading.alternative].shape;
    out += '{';
    for (std::size_t i = 0; i < shape.count; ++i) {
        if (i > 0) out += ',';
        out += shape.keys[i];
        char text[32];
        const double value = reading.values[i];
        switch (shape.wires[i]) {
            case F32:
            case F64: {
                std::uint64_t bits;
                std::memcpy(&bits, &value, sizeof bits);
                std::snprintf(text, sizeof text, ":f%016" PRIx64, bits);
                break;
            }
            case U16: std::snprintf(text, sizeof text, ":i%u", static_cast<unsigned>(value)); break;
            case VF: std::snprintf(text, sizeof text, ":s%s", value != 0 ? "Valid" : "Invalid"); break;
        }
        out += text;
    }
    out += '}';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::size_t packets = std::strtoul(argv[2], nullptr, 10);
    const int fd = open_line(argv[1]);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    static Queue queue;
    queue.slots.resize(packets);
    std::thread thread(reader, fd, std::ref(queue));
    thread.detach();
    for (;;) {
        {
            std::lock_guard lock(queue.mutex);
            if (queue.count == packets) break;
        }
        ::usleep(10000);
    }
    std::string text;
    std::lock_guard lock(queue.mutex);
    for (std::size_t i = 0; i < packets; ++i) {
        const PacketMap& map = queue.slots[i].packet;
        text += '{';
        if (map.count > 0) text += map.set == sensor_set ? "type:ssensor" : "type:sestimate";
        for (std::size_t k = 0; k < map.count; ++k) {
            text += ',';
            text += catalogue[map.entries[k].alternative].name;
            text += ':';
            put_canonical(text, map.entries[k]);
        }
        text += "}\n";
    }
    FILE* out = std::fopen(argv[3], "w");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
        return 1;
    }
    std::_Exit(0);
}
