// What the program costs, measured: frame building against a plain copy, a whole programming pass
// of a 4 MiB image on the virtual device against the pauses the protocol makes the program take,
// and the idle wait of the production build for a device that never comes. Prints figures only;
// nothing here passes or fails on a time.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boot.h"
#include "bootloader_model.h"
#include "firmware_image.h"

namespace {

// ---- Frame building ----

void BM_BuildBlockFrame(benchmark::State &state)
{
    static uint8_t data[BOOT_BLOCK_DATA_MAX];
    static uint8_t report[BOOT_REPORT_SIZE];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = (uint8_t)(i * 7 + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(data);
        size_t n = boot_build_block(report, BOOT_REG_FLASH_DATA, data, BOOT_BLOCK_DATA_MAX, 63);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildBlockFrame);

void BM_Copy4KiB(benchmark::State &state)
{
    static uint8_t from[4096];
    static uint8_t to[4096];
    for (size_t i = 0; i < sizeof from; i++)
        from[i] = (uint8_t)(i * 7 + 1);
    for (auto _ : state) {
        // Through opaque pointers, so that the copy cannot be hoisted out of the loop.
        uint8_t *src = from, *dst = to;
        benchmark::DoNotOptimize(src);
        benchmark::DoNotOptimize(dst);
        memcpy(dst, src, sizeof to);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Copy4KiB);

// Keeps the nanoseconds per iteration of every benchmark while printing as usual.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            ns[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns;
};

// ---- Child processes ----

struct Child {
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
};

Child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    Child c;
    c.started = std::chrono::steady_clock::now();
    c.pid = fork();
    if (c.pid == 0) {
        // No terminal: no key can be pressed, nothing is cleared, output goes nowhere.
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return c;
}

rusage end(const Child &c)
{
    kill(c.pid, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(c.pid, &status, 0, &usage);
    return usage;
}

double seconds(const timeval &t)
{
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

long field(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::stol(line.substr(at + key.size() + 2));
}

std::string temp_dir()
{
    char name[] = "/tmp/romwrite-bench-XXXXXX";
    const char *dir = mkdtemp(name);
    return dir ? dir : "/tmp";
}

// ---- A programming pass of a 4 MiB image on the virtual device ----

// The virtual device runs in the program's process, so its own work (checking every frame,
// storing the blocks, a CRC-32 over the whole flash at each probe) is part of the pass's wall
// time. The same frames fed to a model here tell how much.
double device_work_ms(const vdev::Bytes &image, unsigned probes)
{
    static uint8_t report[BOOT_REPORT_SIZE];
    auto started = std::chrono::steady_clock::now();
    vdev::BootloaderModel model;
    boot_build_command(report, BOOT_DIR_WRITE, BOOT_REG_UNLOCK, image.data() + 44, 16);
    model.receive(report, sizeof report);
    uint16_t address = 0;
    for (size_t at = 196; at < image.size(); at += BOOT_BLOCK_DATA_MAX) {
        size_t len = std::min<size_t>(BOOT_BLOCK_DATA_MAX, image.size() - at);
        size_t padded = (len + 63) & ~(size_t)63;
        static uint8_t chunk[BOOT_BLOCK_DATA_MAX];
        memset(chunk, 0, sizeof chunk);
        memcpy(chunk, image.data() + at, len);
        boot_build_block(report, BOOT_REG_FLASH_DATA, chunk, padded, address);
        model.receive(report, sizeof report);
        address = (uint16_t)(address + padded / 64);
    }
    for (unsigned i = 0; i < probes; i++) {
        boot_build_command(report, BOOT_DIR_WRITE, BOOT_REG_CRC, nullptr, 0);
        model.receive(report, sizeof report);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
}

void programming_pass()
{
    std::string dir = temp_dir();
    std::string image = dir + "/fw.bin";
    vdev::Bytes bytes = vdev::make_image(vdev::firmware_payload(0x0102, 4 << 20));
    std::ofstream(image, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
    // Found at once; gone right after the first presence probe, which the next probe notices.
    std::ofstream(dir + "/scenario.txt") << "device flash=empty unplug-probes=2\n";
    std::string log = dir + "/device.log";
    Child c = spawn({ROMWRITE_VIRTUAL_BIN, image},
                    {"ROMWRITE_VDEV_SCENARIO=" + dir + "/scenario.txt", "ROMWRITE_VDEV_LOG=" + log});

    // The pass is over once the device's absence has been noticed.
    std::vector<std::string> lines;
    for (int waited = 0; waited < 60000; waited += 5) {
        lines = read_lines(log);
        if (!lines.empty() && lines.back().rfind("gone ", 0) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double process_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count();
    rusage usage = end(c);

    long opened = -1, gone = -1, reads = 0, probes = 0, blocks = 0;
    for (const std::string &l : lines) {
        if (l.rfind("open ", 0) == 0 && opened < 0)
            opened = field(l, "t");
        if (l.rfind("gone ", 0) == 0) {
            gone = field(l, "t");
            probes++;  // the probe that found the device gone
        }
        if (l.rfind("input ", 0) == 0)
            reads++;
        if (l.rfind("frame ", 0) == 0 && l.find(" dir=block ") != std::string::npos)
            blocks++;
        if (l.rfind("frame ", 0) == 0 && l.find(" dir=write reg=0x82 len=0 ") != std::string::npos)
            probes++;
    }
    probes--;  // the first data-less write to 0x82 is the CRC check, with no pause before it
    // Every reply read is followed by the poll pause (each came on the first read: no empty
    // polls), and every presence probe by the probe pause before it.
    long pauses_ms = reads * BOOT_POLL_PAUSE_MS + probes * 100;
    long pass_ms = gone - opened;
    printf("\nProgramming pass, 4 MiB image on romwrite-virtual (%ld block frames):\n", blocks);
    printf("  wall time of the pass (device opened to device gone): %ld ms\n", pass_ms);
    printf("  pauses the program must take: %ld reply reads x %d ms + %ld presence probes x 100 ms = %ld ms\n",
           reads, BOOT_POLL_PAUSE_MS, probes, pauses_ms);
    printf("  ratio wall / pauses: %.3f (goal <= 1.1)\n", pauses_ms > 0 ? (double)pass_ms / (double)pauses_ms : 0.0);
    // Every write to 0x82 the device took (the check and the probes before the last) ran a CRC.
    double device_ms = device_work_ms(bytes, (unsigned)probes);
    printf("  of the wall time, the virtual device's own work (frames, blocks, CRC-32 at each probe): %.0f ms\n",
           device_ms);
    printf("  ratio without it: %.3f\n", pauses_ms > 0 ? ((double)pass_ms - device_ms) / (double)pauses_ms : 0.0);
    printf("  whole process until then (start-up included): %.0f ms\n", process_s * 1000);
    printf("  peak resident memory: %ld KiB\n", usage.ru_maxrss);
    std::string cleanup = "rm -rf '" + dir + "'";
    if (system(cleanup.c_str()) != 0) {
    }
}

// ---- The production build waiting for a device that never comes ----

void idle_wait()
{
    const int wait_s = 10;
    Child c = spawn({ROMWRITE_BIN}, {});
    std::this_thread::sleep_for(std::chrono::seconds(wait_s));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count();
    rusage usage = end(c);
    double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    printf("\nromwrite (system hidapi) waiting %.1f s for a device that never comes:\n", wall);
    printf("  CPU: %.3f s user + %.3f s system = %.4f CPU s per wall s, %.3f%% of one core (goal < 0.5%%)\n",
           seconds(usage.ru_utime), seconds(usage.ru_stime), cpu / wall, 100 * cpu / wall);
    printf("  peak resident memory: %ld KiB\n", usage.ru_maxrss);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    double frame = collector.ns["BM_BuildBlockFrame"];
    double copy = collector.ns["BM_Copy4KiB"];
    // The time one 4096-byte report occupies on a USB 2.0 high-speed interrupt pipe.
    const double wire_ns = 167000;
    printf("\nFrame building: %.0f ns per 4032-byte block frame; a 4 KiB copy takes %.0f ns (ratio %.1f);\n"
           "  %.3f%% of the %.0f us one such frame occupies on the wire (goal < 1%%)\n",
           frame, copy, copy > 0 ? frame / copy : 0.0, 100 * frame / wire_ns, wire_ns / 1000);
    programming_pass();
    idle_wait();
    return 0;
}
