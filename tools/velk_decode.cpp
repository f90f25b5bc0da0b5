// velk_decode: a recorded trace decoded into signals by CAN databases,
// offline, without an adapter.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "signal_print.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_decode";

const char kUsage[] =
    "Usage: velk_decode [--dbc FILE]... [--json] [-j] [TRACE|-]\n"
    "\n"
    "Decodes the frames of TRACE (.log candump log, .asc Vector ASC, .csv, .blf\n"
    "Vector BLF, .mf4 ASAM MDF 4, .pcapng or .pcap Wireshark capture, .trc PEAK\n"
    "trace, by extension) into signals with the CAN databases (DBC files) given.\n"
    "Without TRACE, or with -, it reads candump log lines from standard input,\n"
    "as 'candump -L' prints them. Each frame's candump line is printed with its\n"
    "message and signals under it: 'name = value unit', then the value's text\n"
    "where the database has one; a signal the frame is too short for shows as\n"
    "'(missing)'. No adapter is needed.\n"
    "\n"
    "Options:\n"
    "  --dbc FILE      a CAN database; repeat for more (the first that describes\n"
    "                  an identifier decodes it). Its warnings go to standard error\n"
    "  --json          one JSON object per frame and line instead:\n"
    "                  {\"t\": 1699999999.123456, \"bus\": \"can0\", \"id\": 291,\n"
    "                   \"ext\": false, \"fd\": false, \"brs\": false, \"data\": \"DEADBEEF\",\n"
    "                   \"message\": \"EngineData\", \"signals\": {\"EngineSpeed\": 1834.0},\n"
    "                   \"text\": {}, \"missing\": []}\n"
    "                  (\"message\": null for a frame no database describes)\n"
    "  -j, --j1939     match 29-bit identifiers no message has by J1939 parameter\n"
    "                  group, whatever their priority and source address\n"
    "  -h, --help      this help\n"
    "\n"
    "Exit status: 0 done, 1 the output could not be written, 2 bad usage or input\n"
    "(a database that does not load, named with its line and column, or a trace\n"
    "line that is not a frame).\n"
    "\n"
    "Examples:\n"
    "  velk_decode --dbc car.dbc run.log\n"
    "  velk_decode --dbc powertrain.dbc --dbc body.dbc --json run.asc > run.jsonl\n"
    "  candump -L can0 | velk_decode --dbc car.dbc\n"
    "  velk_dump /dev/ttyACM0 | velk_decode --dbc car.dbc -j -\n";

const option kLong[] = {{"dbc", required_argument, nullptr, 'D'},
                        {"json", no_argument, nullptr, 'J'},
                        {"j1939", no_argument, nullptr, 'j'},
                        {"help", no_argument, nullptr, 'h'},
                        {nullptr, 0, nullptr, 0}};

// The interface name of a frame: as a candump log names it, else can0 and
// can1 for CAN1 and CAN2 (the names velk_dump writes).
std::string bus_of(const trace::Frame &f, trace::Format format, const trace::Reader &r)
{
    if (format == trace::Format::CandumpLog || format == trace::Format::Pcapng || format == trace::Format::Pcap ||
        f.channel < 0)
        return r.channel_name();
    return f.channel == 1 ? "can1" : "can0";
}

}  // namespace

int main(int argc, char **argv)
{
    SignalDecoder decoder;
    bool json = false;
    int opt;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, "jh", kLong, nullptr)) != -1) {
        switch (opt) {
        case 'D':
            if (!decoder.add(kProg, optarg))
                return kBadInput;
            break;
        case 'J': json = true; break;
        case 'j': decoder.set_j1939(true); break;
        case 'h': std::fputs(kUsage, stdout); return kOk;
        default: return usage_error(kProg, "unknown option or missing argument", argv[optind - 1]);
        }
    }
    if (argc - optind > 1)
        return usage_error(kProg, "give one TRACE at most, not", argv[optind + 1]);
    const std::string path = optind < argc ? argv[optind] : "-";
    trace::Format format = trace::Format::CandumpLog;
    if (path != "-" && !trace::format_of(path, &format))
        return usage_error(kProg, "unknown trace format (use .log, .asc, .csv, .blf, .mf4, .pcapng, .pcap or .trc, or - for candump lines)",
                           path.c_str());
    trace::Reader reader;
    trace::ReadOptions ro;
    if (!reader.open(path, format, ro)) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    // Lines from a pipe go out as they come; a file's in large writes.
    const bool live = path == "-";
    std::string out;
    trace::Frame f;
    int n;
    while ((n = reader.next(&f)) > 0) {
        const dbc::Message *m = decoder.decode(f);
        const std::string bus = bus_of(f, format, reader);
        if (json)
            append_json_line(&out, f, bus, m, decoder.values(), decoder.count());
        else
            append_text_lines(&out, f, bus, m, decoder.values(), decoder.count());
        if (live || out.size() >= 1 << 16) {
            if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || (live && std::fflush(stdout) != 0))
                break;
            out.clear();
        }
    }
    if (!out.empty())
        std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write the output: %s\n", kProg, std::strerror(errno));
        return kFailed;
    }
    if (n < 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    return kOk;
}
