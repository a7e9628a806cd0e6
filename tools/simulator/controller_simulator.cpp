// controller_simulator: plays the Gyrelle controller on a pseudo-terminal.
//
// Usage: controller_simulator [options]
//
// Opens a pseudo-terminal, prints the path of its slave side as the first line of
// standard output (then flushes), and answers every query "?" CR written to that slave
// with the version banner, framed as the controller frames it: the letter "!", the text
// with bit 7 set on every byte, a check byte (bit 7 set, low 7 bits the XOR of all bytes
// before it) and CR. The default banner text is "1 Tessaline (R) V2.10", 24 bytes on the
// line. The program under test may open and close the slave as often as it likes.
//
// Options:
//   --link PATH        also make PATH a symbolic link to the slave (removed on exit)
//   --log FILE         append one line per event to FILE: "query" for every query
//                      received, "packet HH HH .." for any other packet received,
//                      "opened"/"closed" when the slave side is opened or closed
//                      (seen by polling: a close and reopen within a few ms may not show),
//                      "start PATH", "answer", "stream", "script", "script done",
//                      "hangup", "exit"
//   --delay-ms N       answer each query N milliseconds late
//   --pace             send bytes as a 9600 baud line does, about 1.04 ms each
//   --silent           answer nothing (queries are still logged)
//   --banner TEXT      answer with TEXT after the "!" instead of the default text
//   --bad-check        send the banner with a wrong check byte
//   --garbage          answer each query with 64 bytes of noise instead of the banner
//   --stream           after the first query, send packets that are not the banner
//                      without end
//   --hangup-after N   hang up (close the line and exit) once N queries are answered
//   --script FILE      after the first answer, play FILE (see below)
//   --help             print this text
//
// Script lines (blank lines and lines starting with "#" are skipped):
//   motion A0 A1 A2 A3 A4 A5   a "D" packet that a driver with the same nine-byte mask
//                              decodes to these six axis values (axes 0,1,3,4 in -512..511,
//                              axes 2 and 5 in -511..512)
//   buttons WORD               a "K" packet for the button word (bits 0-5 and bit 31;
//                              decimal or 0x hex)
//   text TEXT                  an "R" packet carrying TEXT
//   raw HH HH ..               these bytes as they are
//   sleep MS                   wait before the next line
//
// Exits with 0 on SIGTERM, SIGINT or after a hang-up, 2 on a bad command line.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// The firmware's nine-byte motion mask, as the controller applies it.
const uint8_t kFirmwareMask[9] = {0x56, 0x6B, 0x33, 0x23, 0x70, 0x57, 0x39, 0x21, 0x78};
const char kDefaultBanner[] = "1 Tessaline (R) V2.10";
const int64_t kByteMicroseconds = 1042;  // 10 bits a byte at 9600 baud
const int64_t kHangupLingerMicroseconds = 300 * 1000;

volatile sig_atomic_t stop_requested = 0;

void OnSignal(int) { stop_requested = 1; }

struct Options {
    std::string link;
    std::string log;
    int delay_ms = 0;
    bool pace = false;
    bool silent = false;
    std::string banner = kDefaultBanner;
    bool bad_check = false;
    bool garbage = false;
    bool stream = false;
    int hangup_after = 0;
    std::string script;
};

const char kHelp[] =
    "Usage: controller_simulator [options]\n"
    "Plays the Gyrelle controller on a pseudo-terminal. The slave path is the first\n"
    "line of standard output. Each \"?\" CR is answered with the framed banner.\n"
    "  --link PATH        also make PATH a symbolic link to the slave\n"
    "  --log FILE         append one line per event (query, packet, opened, closed,\n"
    "                     answer, script, hangup, exit)\n"
    "  --delay-ms N       answer each query N ms late\n"
    "  --pace             send bytes at 9600 baud pace (about 1.04 ms a byte)\n"
    "  --silent           answer nothing\n"
    "  --banner TEXT      banner text after \"!\" (default \"1 Tessaline (R) V2.10\")\n"
    "  --bad-check        banner with a wrong check byte\n"
    "  --garbage          answer with 64 bytes of noise\n"
    "  --stream           after the first query, send non-banner packets without end\n"
    "  --hangup-after N   close the line and exit once N queries are answered\n"
    "  --script FILE      after the first answer, play FILE: lines\n"
    "                     motion A0..A5 | buttons WORD | text TEXT | raw HH.. | sleep MS\n"
    "  --help             this text\n";

int64_t NowMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

FILE* log_file = nullptr;

void Log(const std::string& line) {
    if (log_file == nullptr) return;
    fprintf(log_file, "%s\n", line.c_str());
    fflush(log_file);
}

// Framing as the controller does it, written here apart from the driver's own.
std::vector<uint8_t> Frame(char letter, const std::vector<uint8_t>& payload, bool spoil_check) {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(letter) & 0x7F);
    uint8_t sum = out[0];
    for (uint8_t b : payload) {
        uint8_t on_line = b | 0x80;
        out.push_back(on_line);
        sum ^= on_line;
    }
    if (!payload.empty()) {
        uint8_t check = static_cast<uint8_t>(0x80 | (sum & 0x7F));
        if (spoil_check) check ^= 0x01;
        out.push_back(check);
    }
    out.push_back(0x0D);
    return out;
}

std::vector<uint8_t> TextBytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Six axis values into the nine masked 7-bit groups of a "D" packet.
std::vector<uint8_t> MotionPacket(const int values[6]) {
    uint64_t bits = 0;
    for (int axis = 0; axis < 6; ++axis) {
        int value = (axis == 2 || axis == 5) ? -values[axis] : values[axis];
        bits = (bits << 10) | (static_cast<uint64_t>(value) & 0x3FF);
    }
    bits <<= 3;  // 60 bits of fields, 3 spare bits, 63 in all
    std::vector<uint8_t> payload;
    payload.push_back(0x00);  // position 1, which the driver does not read
    for (int group = 0; group < 9; ++group) {
        uint8_t seven = static_cast<uint8_t>((bits >> (56 - 7 * group)) & 0x7F);
        payload.push_back(seven ^ kFirmwareMask[group]);
    }
    return Frame('D', payload, false);
}

std::vector<uint8_t> ButtonPacket(uint32_t word) {
    uint8_t state = static_cast<uint8_t>(word & 0x3F);
    if (word & 0x80000000u) state |= 0x40;
    return Frame('K', {0x00, state, 0x00}, false);
}

struct ScriptStep {
    std::vector<uint8_t> bytes;
    int sleep_ms = 0;
    std::string description;
};

bool ParseScript(const std::string& path, std::vector<ScriptStep>* steps) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "controller_simulator: cannot read script %s\n", path.c_str());
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb) || verb[0] == '#') continue;
        ScriptStep step;
        step.description = line;
        bool ok = true;
        if (verb == "motion") {
            int values[6];
            for (int& v : values) ok = ok && static_cast<bool>(words >> v);
            if (ok) step.bytes = MotionPacket(values);
        } else if (verb == "buttons") {
            std::string word;
            ok = static_cast<bool>(words >> word);
            if (ok) step.bytes = ButtonPacket(static_cast<uint32_t>(strtoul(word.c_str(), nullptr, 0)));
        } else if (verb == "text") {
            std::string text;
            std::getline(words, text);
            if (!text.empty() && text[0] == ' ') text.erase(0, 1);
            step.bytes = Frame('R', TextBytes(text), false);
        } else if (verb == "raw") {
            std::string hex;
            while (words >> hex) step.bytes.push_back(static_cast<uint8_t>(strtoul(hex.c_str(), nullptr, 16)));
        } else if (verb == "sleep") {
            ok = static_cast<bool>(words >> step.sleep_ms);
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "controller_simulator: %s:%d: cannot read \"%s\"\n", path.c_str(), number,
                    line.c_str());
            return false;
        }
        steps->push_back(step);
    }
    return true;
}

bool ParseNumber(const char* text, int* out) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 1000000) return false;
    *out = static_cast<int>(value);
    return true;
}

int ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (arg == "--help") {
            fputs(kHelp, stdout);
            return 1;
        } else if (arg == "--pace") {
            options->pace = true;
        } else if (arg == "--silent") {
            options->silent = true;
        } else if (arg == "--bad-check") {
            options->bad_check = true;
        } else if (arg == "--garbage") {
            options->garbage = true;
        } else if (arg == "--stream") {
            options->stream = true;
        } else if (arg == "--link" && value(&text)) {
            options->link = text;
        } else if (arg == "--log" && value(&text)) {
            options->log = text;
        } else if (arg == "--banner" && value(&text)) {
            options->banner = text;
        } else if (arg == "--script" && value(&text)) {
            options->script = text;
        } else if (arg == "--delay-ms" && value(&text) && ParseNumber(text, &options->delay_ms)) {
        } else if (arg == "--hangup-after" && value(&text) && ParseNumber(text, &options->hangup_after) &&
                   options->hangup_after > 0) {
        } else {
            fprintf(stderr, "controller_simulator: bad argument \"%s\"\n%s", arg.c_str(), kHelp);
            return 2;
        }
    }
    return 0;
}

// Bytes waiting to go out, each not before its time.
struct Outgoing {
    uint8_t byte;
    int64_t due;
};


struct Simulator {
    Options options;
    int master = -1;
    std::deque<Outgoing> out;
    int64_t next_free = 0;  // when the line is free for the next paced byte
    std::vector<uint8_t> incoming;
    int queries = 0;
    int answered = 0;
    bool slave_open = false;
    std::vector<ScriptStep> script;
    size_t script_next = 0;
    bool script_running = false;
    int64_t script_due = 0;
    bool streaming = false;
    uint32_t noise = 0x2545F491u;
    int hangup_pending_at = -1;  // bytes still to send before the hang-up
    int64_t hangup_deadline = 0;
};

uint8_t NextNoise(Simulator* sim) {
    sim->noise ^= sim->noise << 13;
    sim->noise ^= sim->noise >> 17;
    sim->noise ^= sim->noise << 5;
    return static_cast<uint8_t>(sim->noise);
}

void Queue(Simulator* sim, const std::vector<uint8_t>& bytes, int64_t not_before) {
    int64_t at = not_before;
    if (sim->options.pace && at < sim->next_free) at = sim->next_free;
    for (uint8_t b : bytes) {
        sim->out.push_back({b, at});
        if (sim->options.pace) at += kByteMicroseconds;
    }
    if (sim->options.pace) sim->next_free = at;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(part, sizeof(part), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += part;
    }
    return text;
}

void Answer(Simulator* sim, int64_t now) {
    ++sim->queries;
    Log("query");
    if (sim->options.silent || sim->hangup_pending_at >= 0) return;
    int64_t due = now + static_cast<int64_t>(sim->options.delay_ms) * 1000;
    if (sim->options.stream) {
        sim->streaming = true;
        Log("stream");
        return;
    }
    std::vector<uint8_t> answer;
    if (sim->options.garbage) {
        for (int i = 0; i < 64; ++i) {
            uint8_t b = NextNoise(sim);
            answer.push_back(b == '!' ? 0x21 ^ 0x40 : b);
        }
    } else {
        answer = Frame('!', TextBytes(sim->options.banner), sim->options.bad_check);
    }
    Queue(sim, answer, due);
    ++sim->answered;
    Log("answer");
    if (!sim->script.empty() && !sim->script_running && sim->script_next == 0) {
        sim->script_running = true;
        sim->script_due = sim->out.back().due;
        Log("script");
    }
    if (sim->options.hangup_after > 0 && sim->answered >= sim->options.hangup_after) {
        sim->hangup_pending_at = static_cast<int>(sim->out.size());
    }
}

void TakeIncoming(Simulator* sim, const uint8_t* bytes, ssize_t count, int64_t now) {
    for (ssize_t i = 0; i < count; ++i) {
        uint8_t b = bytes[i];
        if (b == 0x0D) {
            if (sim->incoming.size() == 1 && sim->incoming[0] == '?') {
                Answer(sim, now);
            } else if (!sim->incoming.empty()) {
                Log("packet " + Hex(sim->incoming));
            }
            sim->incoming.clear();
        } else if (sim->incoming.size() < 256) {
            sim->incoming.push_back(b);
        }
    }
}

void AdvanceScript(Simulator* sim, int64_t now) {
    while (sim->script_running && sim->script_due <= now) {
        if (sim->script_next >= sim->script.size()) {
            sim->script_running = false;
            Log("script done");
            return;
        }
        const ScriptStep& step = sim->script[sim->script_next++];
        if (step.sleep_ms > 0) {
            sim->script_due = now + static_cast<int64_t>(step.sleep_ms) * 1000;
        } else {
            Queue(sim, step.bytes, now);
            sim->script_due = sim->out.empty() ? now : sim->out.back().due;
        }
    }
}

void RefillStream(Simulator* sim, int64_t now) {
    // Valid packets that are not the banner, so a reader keeps getting complete packets.
    while (sim->streaming && sim->out.size() < 256) {
        std::vector<uint8_t> text;
        for (int i = 0; i < 20; ++i) text.push_back(static_cast<uint8_t>('a' + NextNoise(sim) % 26));
        Queue(sim, Frame('R', text, false), now);
    }
}

// Writes what is due; what the line will not take now stays queued for the next round.
void Flush(Simulator* sim, int64_t now) {
    while (!sim->out.empty() && sim->out.front().due <= now) {
        // Everything due at once goes out in one write.
        uint8_t chunk[512];
        size_t n = 0;
        for (const Outgoing& o : sim->out) {
            if (o.due > now || n == sizeof(chunk)) break;
            chunk[n++] = o.byte;
        }
        ssize_t written = write(sim->master, chunk, n);
        if (written <= 0) return;  // nobody listening or the buffer is full: try later
        for (ssize_t i = 0; i < written; ++i) {
            sim->out.pop_front();
            if (sim->hangup_pending_at > 0) --sim->hangup_pending_at;
        }
    }
}

int OpenPseudoTerminal(std::string* slave_path) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const char* name = ptsname(master);
    if (name == nullptr) return -1;
    *slave_path = name;
    // Raw from the start: no echo, no line editing, before anyone opens the slave.
    int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios settings{};
        if (tcgetattr(slave, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(slave, TCSANOW, &settings);
        }
        close(slave);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

int Run(Simulator* sim) {
    uint8_t buffer[512];
    while (!stop_requested) {
        int64_t now = NowMicroseconds();
        AdvanceScript(sim, now);
        RefillStream(sim, now);
        Flush(sim, now);
        if (sim->hangup_pending_at == 0) {
            // Closing the master at once would throw away the answer still in the slave's
            // queue; a real line delivers it, so give the reader a moment first.
            if (sim->hangup_deadline == 0) sim->hangup_deadline = now + kHangupLingerMicroseconds;
            if (now >= sim->hangup_deadline || !sim->slave_open) {
                Log("hangup");
                return 0;
            }
        }

        int64_t wait_us = 20000;
        if (!sim->out.empty()) wait_us = sim->out.front().due - now;
        if (sim->script_running && sim->script_due - now < wait_us) wait_us = sim->script_due - now;
        if (wait_us < 0) wait_us = 0;
        int timeout_ms = static_cast<int>((wait_us + 999) / 1000);
        if (timeout_ms > 20) timeout_ms = 20;
        if (!sim->out.empty() && sim->out.front().due <= now && timeout_ms < 1) timeout_ms = 1;

        pollfd watch{sim->master, POLLIN, 0};
        int ready = poll(&watch, 1, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        bool hung_up = (watch.revents & POLLHUP) != 0;
        if (hung_up == sim->slave_open) {
            sim->slave_open = !hung_up;
            Log(sim->slave_open ? "opened" : "closed");
        }
        if (watch.revents & POLLIN) {
            ssize_t got = read(sim->master, buffer, sizeof(buffer));
            if (got > 0) TakeIncoming(sim, buffer, got, NowMicroseconds());
        }
        if (hung_up && (watch.revents & POLLIN) == 0) {
            // No one has the slave open: the master reports hang-up at once and reads EIO.
            // Wait for the next opener instead of spinning.
            timespec pause{0, 5 * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Simulator sim;
    int parsed = ParseOptions(argc, argv, &sim.options);
    if (parsed == 1) return 0;
    if (parsed != 0) return 2;
    if (!sim.options.script.empty() && !ParseScript(sim.options.script, &sim.script)) return 2;
    if (!sim.options.log.empty()) {
        log_file = fopen(sim.options.log.c_str(), "a");
        if (log_file == nullptr) {
            fprintf(stderr, "controller_simulator: cannot open log %s\n", sim.options.log.c_str());
            return 2;
        }
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string slave_path;
    sim.master = OpenPseudoTerminal(&slave_path);
    if (sim.master < 0) {
        fprintf(stderr, "controller_simulator: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (!sim.options.link.empty()) {
        unlink(sim.options.link.c_str());
        if (symlink(slave_path.c_str(), sim.options.link.c_str()) != 0) {
            fprintf(stderr, "controller_simulator: cannot link %s: %s\n", sim.options.link.c_str(),
                    strerror(errno));
            return 1;
        }
    }
    printf("%s\n", slave_path.c_str());
    fflush(stdout);
    Log("start " + slave_path);

    int result = Run(&sim);
    close(sim.master);
    if (!sim.options.link.empty()) unlink(sim.options.link.c_str());
    Log("exit");
    if (log_file != nullptr) fclose(log_file);
    return result;
}
