// Identification against the controller simulator over a pseudo-terminal.
// Prints: the time identification spends beyond its fixed 2000 ms settle wait, beside
// the banner's own time on a 9600 baud line; the CPU time that the banner wait uses on a
// silent port and on a hung-up one, as a share of one core; and what 40000 reads of an
// empty line cost here.
//
// Usage: identification_bench [rounds]   (default 5 rounds per simulator setting)
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "devlink/device_link_testing.h"
#include "devlink/device_log.h"
#include "devlink/driver_core.h"
#include "devlink/serial_channel.h"
#include "platform/serial_names.h"
#include "tools/simulator/pty_pair.h"
#include "tools/simulator/simulator_process.h"

namespace {

// "!", 21 text bytes, check byte and CR; ten bits a byte at 9600 baud.
constexpr double kBannerBytes = 24.0;
constexpr double kBannerWireMilliseconds = kBannerBytes * 10.0 / 9600.0 * 1000.0;
constexpr double kSettleMilliseconds = 2000.0;

double WallMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

double CpuMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The channel's debugging lines would drown the figures.
struct QuietLog {
    QuietLog() { SetDeviceLogSink([](const char*) {}); }
    ~QuietLog() { SetDeviceLogSink(nullptr); }
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool MeasureFound(const char* label, const std::vector<std::string>& options, int rounds) {
    SimulatorProcess simulator;
    if (!simulator.Start(options)) return false;
    SetSerialDevicePath("COM1", simulator.slave_path.c_str());
    std::vector<double> beyond;
    for (int round = 0; round < rounds; ++round) {
        ResetDeviceLinkState();
        DeviceInfo info{};
        SetDevicePort(&info, "COM1");
        double start = WallMilliseconds();
        int32_t found;
        {
            QuietLog quiet;
            found = IdentifyDevice(&info);
            UdComClose();
        }
        double spent = WallMilliseconds() - start;
        if (found != 1) {
            printf("%-34s not found in round %d\n", label, round + 1);
            return false;
        }
        beyond.push_back(spent - kSettleMilliseconds);
    }
    printf("%-34s beyond the 2000 ms wait: median %7.2f ms, min %7.2f, max %7.2f\n", label,
           Median(beyond), *std::min_element(beyond.begin(), beyond.end()),
           *std::max_element(beyond.begin(), beyond.end()));
    return true;
}

bool MeasureSilent() {
    SimulatorProcess simulator;
    if (!simulator.Start({"--silent"})) return false;
    ResetDeviceLinkState();
    DeviceRecord& record = DeviceTable[0];
    snprintf(record.channel.port_name, sizeof(record.channel.port_name), "%s",
             simulator.slave_path.c_str());
    double wall = 0, cpu = 0, reads_ms = 0;
    int32_t result;
    {
        QuietLog quiet;
        if (UdComOpen(&record.channel) != 1) return false;
        double wall_start = WallMilliseconds();
        double cpu_start = CpuMilliseconds();
        result = AwaitVersionBanner(&record);
        wall = WallMilliseconds() - wall_start;
        cpu = CpuMilliseconds() - cpu_start;

        double reads_start = WallMilliseconds();
        uint8_t byte = 0;
        for (int i = 0; i < 40000; ++i) UdComReadByte(&record.channel, &byte);
        reads_ms = WallMilliseconds() - reads_start;
        UdComClose();
    }
    printf("silent port, banner wait           result %d after %.0f ms (budget %u ms)\n", result, wall,
           kBannerWaitMilliseconds);
    printf("silent port, CPU during the wait   %.2f ms = %.2f%% of one core\n", cpu, cpu / wall * 100.0);
    printf("40000 reads of an empty line       %.1f ms here (the old counted wait)\n", reads_ms);
    return true;
}

// The far end of a pseudo-terminal closed before the query: the line reports a hang-up at
// once and for good, and no read ever finds a byte.
bool MeasureHungUp() {
    PtyPair pty;
    if (!pty.Open()) return false;
    close(pty.master);
    pty.master = -1;
    ResetDeviceLinkState();
    DeviceRecord& record = DeviceTable[0];
    record.channel.handle = pty.slave;
    double wall_start = WallMilliseconds();
    double cpu_start = CpuMilliseconds();
    int32_t result = AwaitVersionBanner(&record);
    double wall = WallMilliseconds() - wall_start;
    double cpu = CpuMilliseconds() - cpu_start;
    pty.Close();
    printf("hung-up port, banner wait          result %d after %.0f ms\n", result, wall);
    printf("hung-up port, CPU during the wait  %.2f ms = %.2f%% of one core\n", cpu, cpu / wall * 100.0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    if (rounds < 1) rounds = 1;
    printf("banner on the line at 9600 baud:   %.2f ms (%.0f bytes)\n", kBannerWireMilliseconds, kBannerBytes);
    bool ok = MeasureFound("answers at once", {}, rounds) &&
              MeasureFound("answers at once, paced bytes", {"--pace"}, rounds) &&
              MeasureFound("answers 500 ms late, paced bytes", {"--delay-ms", "500", "--pace"}, rounds) &&
              MeasureSilent() && MeasureHungUp();
    ResetDeviceLinkState();
    return ok ? 0 : 1;
}
