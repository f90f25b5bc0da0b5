// Traces into a data lake: every frame into DIR/frames/ and each database
// message's signals into DIR/signals/message=NAME/, as Parquet files in Hive
// partitions device=D/date=YYYY-MM-DD/, one file per input trace and
// partition, so that re-running a trace replaces its own files:
//
//   DIR/frames/device=truck7/date=2026-03-01/run.blf.parquet
//   DIR/signals/message=EngineData/device=truck7/date=2026-03-01/run.blf.parquet
#pragma once

#include <string>
#include <vector>

#include "lake.h"
#include "signal_print.h"

namespace velk::tools {

struct LakeOptions {
    std::string dir;
    std::string device;  // empty: each trace's folder name
    lake::Options parquet;
    int jobs = 1;
    bool progress = false;  // a progress line on standard error
};

// Writes the traces with `jobs` workers; each trace's files appear together
// once it has been read to its end, and a trace that fails (not a trace,
// damaged, a write error) leaves its earlier files as they were. Says on
// standard error why a trace failed, then a summary. Returns the exit
// status: kOk, kBadInput when a trace could not be read, kFailed when
// the lake could not be written.
int write_lake(const char *prog, const LakeOptions &options, const SignalDecoder &decoder,
               const std::vector<std::string> &traces);

// A Hive partition value: characters other than letters, digits, '_', '-'
// and '.' as %XX.
std::string partition_value(const std::string &text);

}  // namespace velk::tools
