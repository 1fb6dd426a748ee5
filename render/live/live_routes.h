// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view's routes, named here only: the server answers them
// (live_server.cpp), the connections tell the picture routes from the short
// answers by them (live_connections.cpp), and the page fetches them
// (live_page.h).

inline constexpr char kPageRoute[] = "/";
inline constexpr char kStatsRoute[] = "/stats";
// The picture routes: each answer holds a worker while it is sent.
inline constexpr char kStreamRoute[] = "/stream";     // the picture as it is rendered
inline constexpr char kImageRoute[] = "/image.png";  // the latest frame as a PNG file
