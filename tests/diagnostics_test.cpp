#include <gtest/gtest.h>

#include "diag/diagnostics.hpp"
#include "engine/placement/placement.hpp"

namespace debrindle {
namespace {

TEST(Diagnostics, SwitchWords) {
    const char* on[] = {"1",    "on",     "ON",   "yes", "YES",          "true",
                        "TRUE", " yes\n", "\tON", "1 ",  "\xC2\xA0true", "\xE3\x80\x80on\xC2\x85"};
    const char* off[] = {"",   " ",     "Yes", "True", "On",   "y",   "0",
                         "no", "false", "2",   "01",   "yes!", "o n", "\xE2\x80\x8Btrue"};
    for (const char* value : on) EXPECT_TRUE(is_diagnostics_on_value(value)) << value;
    for (const char* value : off) EXPECT_FALSE(is_diagnostics_on_value(value)) << value;
}

TEST(Diagnostics, Lines) {
    EXPECT_EQ(one_shot_loading_line(R"(C:\models\m.gguf)", all_gpu_layers),
              "loading one-shot model path=C:\\models\\m.gguf n_gpu_layers=4294967295\n");
    EXPECT_EQ(server_loading_line("/m/a b.gguf", all_gpu_layers),
              "loading model path=/m/a b.gguf n_gpu_layers=4294967295\n");
    EXPECT_EQ(server_loaded_line("m.gguf", 1999), "loaded model path=m.gguf elapsed_ms=1999\n");
}

TEST(Diagnostics, ElapsedMilliseconds) {
    EXPECT_EQ(elapsed_milliseconds(0, 1'999'900'000), 1999U);
    EXPECT_EQ(elapsed_milliseconds(5, 5), 0U);
    EXPECT_EQ(elapsed_milliseconds(10'000'000, 9'000'000), 0U);
    EXPECT_EQ(elapsed_milliseconds(1'000'000'000, 3'000'999'999), 2000U);
}

}  // namespace
}  // namespace debrindle
