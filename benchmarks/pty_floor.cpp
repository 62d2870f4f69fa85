// The cost floor of reading packets from a pseudo-terminal field by field: a writer thread
// sends 100-byte packets two at a time every millisecond, and the reader takes each packet
// as five reads (2, 1, 1, 94 and 2 bytes), each after a poll, as the module's reader does.
// Prints the reader thread's CPU time per packet.
//
//   g++ -O2 -std=c++20 -pthread -o /tmp/pty_floor benchmarks/pty_floor.cpp -lutil && /tmp/pty_floor

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <thread>

int main() {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);

    constexpr int packets = 20000;
    unsigned char packet[100];
    for (int i = 0; i < 100; ++i) packet[i] = static_cast<unsigned char>(i);
    std::thread writer([&] {
        for (int i = 0; i < packets; ++i) {
            for (size_t done = 0; done < sizeof packet;) {
                const ssize_t n = write(master, packet + done, sizeof packet - done);
                if (n > 0) done += static_cast<size_t>(n); else usleep(100);
            }
            if (i % 2 == 1) usleep(1000);
        }
    });

    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    unsigned char buffer[256];
    const int fields[] = {2, 1, 1, 94, 2};
    for (int i = 0; i < packets; ++i) {
        for (int need : fields) {
            while (need > 0) {
                pollfd request{slave, POLLIN, 0};
                poll(&request, 1, 100);
                const ssize_t n = read(slave, buffer, static_cast<size_t>(need));
                if (n > 0) need -= static_cast<int>(n);
            }
        }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    writer.join();
    const double ns = (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec);
    std::printf("reader CPU per packet: %.2f us\n", ns / 1e3 / packets);
    return 0;
}
