// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view's one page, held in the program: the picture at 1:1 from
// /stream and, below it, the figures from /stats, refreshed twice a second.
// Once the render has finished the picture becomes /image.png, the exact final
// frame, and the stream is closed; the figures are refreshed until the file is
// written, which the page then says.

#include <string>

#include "base/messages.h"
#include "render/live/live_routes.h"

// The page's HTML, put together once.
inline const std::string& live_page()
{
    static const std::string page = std::string(R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
)PAGE") + "<title>" + kRenderProgram + R"PAGE( live view</title>
<style>
  body { background: #202124; color: #e8eaed; font: 15px/1.4 sans-serif; margin: 16px; }
  #picture { display: block; width: 640px; height: 480px; image-rendering: pixelated; background: #000; }
  table { border-collapse: collapse; margin-top: 10px; }
  th { text-align: left; font-weight: normal; color: #9aa0a6; padding: 2px 16px 2px 0; }
  td { font-variant-numeric: tabular-nums; text-align: right; min-width: 9em; }
  #state { margin-top: 8px; color: #9aa0a6; }
</style>
</head>
<body>
<img id="picture" src=")PAGE" + kStreamRoute + R"PAGE(" width="640" height="480" alt="the picture being rendered">
<table>
  <tr><th>frames done</th><td id="frames">-</td></tr>
  <tr><th>frames/s</th><td id="fps">-</td></tr>
  <tr><th>million rays/s</th><td id="rays">-</td></tr>
  <tr><th>elapsed</th><td id="elapsed">-</td></tr>
  <tr><th>time left</th><td id="left">-</td></tr>
</table>
<div id="state">rendering</div>
<script>
"use strict";
function duration(seconds) {
  const whole = Math.max(0, Math.round(seconds));
  const two = (n) => String(n).padStart(2, "0");
  if (whole < 60) return whole + " s";
  if (whole < 3600) return Math.floor(whole / 60) + " min " + two(whole % 60) + " s";
  return Math.floor(whole / 3600) + " h " + two(Math.floor(whole / 60) % 60) + " min";
}
function show(id, text) { document.getElementById(id).textContent = text; }
let finished = false, written = false;
async function refresh() {
  try {
    const response = await fetch(")PAGE" + kStatsRoute + R"PAGE(", { cache: "no-store" });
    const s = await response.json();
    show("frames", s.frames_total === null ? String(s.frames_done) : s.frames_done + " of " + s.frames_total);
    show("fps", s.frames_per_second.toFixed(1));
    show("rays", s.million_rays_per_second === null ? "not counted" : s.million_rays_per_second.toFixed(1));
    show("elapsed", duration(s.elapsed_seconds));
    show("left", s.seconds_left === null ? "until stopped" : duration(s.seconds_left));
    if (s.finished && !finished) {
      finished = true;
      document.getElementById("picture").src = ")PAGE" + kImageRoute + R"PAGE(";
    }
    if (s.finished) {
      written = s.image_written;
      show("state", written ? "finished: the final picture, written to its file"
                            : "finished: writing the picture to its file");
    }
  } catch (error) {
    show("state", ")PAGE" + kRenderProgram + R"PAGE( does not answer (stopped?)");
  }
  if (!written) setTimeout(refresh, 500);
}
refresh();
</script>
</body>
</html>
)PAGE";
    return page;
}
