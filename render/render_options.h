// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel-render's command line: parsing and checking, all before any rendering.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine_options.h"
#include "render/benchmark/benchmark_options.h"
#include "render/files/checkpoint.h"
#include "render/files/image_writer.h"
#include "render/live/listen_address.h"

struct CRenderOptions {
    uint32_t frames = 64;
    std::optional<uint32_t> seed;  // none: seed from the millisecond clock
    std::string output = "vantrel.png";
    CImageFormat format = CImageFormat::png;
    CEngineOptions engine;  // threads, backend, and what --backend cuda found
    bool quiet = false;
    std::optional<CListenAddress> serve;  // --serve: where the live view listens
    uint32_t serve_fps = 10;              // pictures a second handed to the live view
    std::string checkpoint;               // where the render's state is saved ("" for nowhere)
    uint32_t checkpoint_every = 60;       // seconds between saves
    std::string resume;                   // --resume: the checkpoint the render carries on from
    std::shared_ptr<const CCheckpoint> resumed;  // what it holds, read and checked
    CBenchmarkChoice benchmark;                  // --benchmark, --stress and --json
};

// Reads and checks the command line. Returns nothing when the program should
// proceed with `options`; otherwise the exit status, after printing help or the
// version on stdout (0) or one line naming the bad option or path on stderr (2).
std::optional<int> parse_render_options(int argc, const char* const* argv, CRenderOptions& options);

// Whether the options ask for a benchmark or a stress run.
bool benchmark_asked(const CRenderOptions& options);
