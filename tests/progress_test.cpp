// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "render/progress.h"

namespace {
// What a CProgress wrote into a temporary file.
std::string written(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

TEST(Progress, TimeLeftFollowsTheRateSoFar)
{
    EXPECT_EQ(seconds_left(0, 64, 0.0), 0.0);
    EXPECT_EQ(seconds_left(16, 64, 2.0), 6.0);
    EXPECT_EQ(seconds_left(64, 64, 8.0), 0.0);
    EXPECT_EQ(format_duration(0.2), "0 s");
    EXPECT_EQ(format_duration(59.4), "59 s");
    EXPECT_EQ(format_duration(185.0), "3 min 05 s");
    EXPECT_EQ(format_duration(7800.0), "2 h 10 min");
}

TEST(Progress, PlainLinesComeAboutEveryTwoSeconds)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    CProgress progress(file, 100, false, false);
    for (uint32_t done = 1; done <= 100; ++done)
        progress.update(done, done * 0.1);  // 10 seconds in all
    progress.finish();
    const std::string text = written(file);
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_GE(lines, 4u) << text;
    EXPECT_LE(lines, 5u) << text;
    EXPECT_NE(text.find("20/100 frames, 10.0 frames/s, 8 s left\n"), std::string::npos) << text;
    std::fclose(file);
}

// A resumed render counts the picture's frames, as its summary does; the rate
// and the time left are this run's.
TEST(Progress, AResumedRenderCountsThePicturesFrames)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    CProgress progress(file, 100, false, false);
    progress.counts_from(60);
    for (uint32_t done = 61; done <= 100; ++done)
        progress.update(done, (done - 60) * 0.1);
    EXPECT_NE(written(file).find("80/100 frames, 10.0 frames/s, 2 s left\n"), std::string::npos) << written(file);
    std::fclose(file);
}

TEST(Progress, ABarIsRedrawnInPlaceAndEndsWithANewline)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    CProgress progress(file, 4, true, false);
    for (uint32_t done = 1; done <= 4; ++done)
        progress.update(done, done * 1.0);
    progress.finish();
    const std::string text = written(file);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;  // one line, redrawn with \r
    EXPECT_NE(text.find("4/4 frames"), std::string::npos) << text;
    EXPECT_NE(text.find("[##############################]"), std::string::npos) << text;
    std::fclose(file);
}

// Every redraw fits the terminal, however narrow: a line that wraps would
// scroll at each redraw instead of replacing itself.
TEST(Progress, EveryRedrawFitsTheTerminalsWidth)
{
    for (int columns : {80, 40, 30, 12, 1}) {
        for (uint32_t total : {4u, kFramesUntilStopped}) {
            FILE* file = std::tmpfile();
            ASSERT_NE(file, nullptr);
            CProgress progress(file, total, true, false, columns);
            for (uint32_t done = 1; done <= 4; ++done)
                progress.update(done, done * 1.0);
            const std::string text = written(file);
            size_t start = 0;
            for (size_t at = text.find('\r', 1); start < text.size(); at = text.find('\r', at + 1)) {
                std::string line = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
                ASSERT_EQ(line.rfind("\r", 0), 0u) << line;
                ASSERT_TRUE(line.ends_with("\033[K")) << line;
                EXPECT_LT(line.size() - 4, size_t(columns)) << columns << ": " << line;
                start = at == std::string::npos ? text.size() : at;
            }
            std::fclose(file);
        }
    }
}

TEST(Progress, QuietWritesNothing)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    for (bool terminal : {false, true}) {
        CProgress progress(file, 10, terminal, true);
        for (uint32_t done = 1; done <= 10; ++done)
            progress.update(done, done * 5.0);
        progress.finish();
    }
    EXPECT_EQ(written(file), "");
    std::fclose(file);
}
}  // namespace
