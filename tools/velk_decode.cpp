// velk_decode: a recorded trace decoded into signals by CAN databases,
// offline, without an adapter.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lake_export.h"
#include "signal_print.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_decode";

const char kUsage[] =
    "Usage: velk_decode [--dbc FILE]... [--json] [-j] [TRACE|-]\n"
    "       velk_decode --lake DIR [--dbc FILE]... [-j] [LAKE OPTIONS] TRACE...\n"
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
    "With --lake, the TRACEs go into DIR as Apache Parquet tables that Spark,\n"
    "Trino, DuckDB and polars read: DIR/frames/ every frame, and\n"
    "DIR/signals/message=NAME/ a table per database message (time, channel and\n"
    "a column per signal, NAME_text beside a signal with value texts; null where\n"
    "a frame does not carry the signal), in Hive partitions\n"
    "device=DEVICE/date=YYYY-MM-DD/, one file per trace and partition, named after\n"
    "the trace: running a trace again replaces its files. A trace that cannot be\n"
    "read leaves its files as they were. A progress line on a terminal, then a\n"
    "summary on standard error.\n"
    "\n"
    "Lake options:\n"
    "  --lake DIR      the lake's folder\n"
    "  --device NAME   the device partition (default: each trace's folder name)\n"
    "  --jobs N        traces written at once (default 1)\n"
    "  --compression none|gzip|zstd\n"
    "                  of the Parquet pages (default zstd)\n"
    "  --row-group ROWS\n"
    "                  rows per row group, the unit engines skip by their\n"
    "                  statistics (default 131072)\n"
    "\n"
    "Exit status: 0 done, 1 the output could not be written, 2 bad usage or input\n"
    "(a database that does not load, named with its line and column, or a trace\n"
    "line that is not a frame).\n"
    "\n"
    "Examples:\n"
    "  velk_decode --dbc car.dbc run.log\n"
    "  velk_decode --dbc powertrain.dbc --dbc body.dbc --json run.asc > run.jsonl\n"
    "  candump -L can0 | velk_decode --dbc car.dbc\n"
    "  velk_dump /dev/ttyACM0 | velk_decode --dbc car.dbc -j -\n"
    "  velk_decode --lake /data/lake --dbc car.dbc --jobs 4 uploads/truck7/*.blf\n";

bool parse_count(const char *text, int lo, int hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

const option kLong[] = {{"dbc", required_argument, nullptr, 'D'},
                        {"json", no_argument, nullptr, 'J'},
                        {"j1939", no_argument, nullptr, 'j'},
                        {"help", no_argument, nullptr, 'h'},
                        {"lake", required_argument, nullptr, 'L'},
                        {"device", required_argument, nullptr, 'V'},
                        {"jobs", required_argument, nullptr, 'N'},
                        {"compression", required_argument, nullptr, 'C'},
                        {"row-group", required_argument, nullptr, 'R'},
                        {nullptr, 0, nullptr, 0}};

}  // namespace

int main(int argc, char **argv)
{
    SignalDecoder decoder;
    bool json = false;
    LakeOptions lake;
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
        case 'L': lake.dir = optarg; break;
        case 'V': lake.device = optarg; break;
        case 'N':
            if (!parse_count(optarg, 1, 256, &lake.jobs))
                return usage_error(kProg, "--jobs takes 1 to 256, not", optarg);
            break;
        case 'C':
            if (!lake::codec_of(optarg, &lake.parquet.codec))
                return usage_error(kProg, "--compression takes none, gzip or zstd, not", optarg);
            break;
        case 'R': {
            int rows = 0;
            if (!parse_count(optarg, 1, 100000000, &rows))
                return usage_error(kProg, "--row-group takes 1 to 100000000 rows, not", optarg);
            lake.parquet.row_group_rows = static_cast<size_t>(rows);
            break;
        }
        default: return usage_error(kProg, "unknown option or missing argument", argv[optind - 1]);
        }
    }
    if (!lake.dir.empty()) {
        if (optind >= argc)
            return usage_error(kProg, "--lake needs a TRACE file or more after", lake.dir.c_str());
        if (json)
            return usage_error(kProg, "--lake writes no lines; leave out", "--json");
        lake.progress = isatty(STDERR_FILENO) != 0;
        const std::vector<std::string> traces(argv + optind, argv + argc);
        return write_lake(kProg, lake, decoder, traces);
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
        const std::string bus = bus_name(f, format, reader);
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
