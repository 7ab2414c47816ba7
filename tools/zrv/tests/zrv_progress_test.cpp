#include "zrvProgressBar.h"

#include <gtest/gtest.h>

#include <sstream>

namespace zrv {
namespace {

TEST(ZrvProgressBar, DrawsInPlaceOncePerPercentAfterTheDelayAndErasesItself) {
    std::ostringstream out;
    ProgressBar disabled(out, false);
    disabled.update(5, 10, 10.0);
    disabled.finish();
    ProgressBar bar(out, true, 1.0);
    bar.update(1, 4, 0.99);
    EXPECT_EQ(out.str(), "") << "disabled, or before the delay";
    EXPECT_FALSE(bar.drawn());

    bar.update(1, 4, 1.5);
    const std::string quarter = "\rrendering [##########..............................]  25%";
    EXPECT_EQ(out.str(), quarter);
    bar.update(1, 4, 2.0); // same percentage: no redraw
    EXPECT_EQ(out.str(), quarter);
    bar.update(4, 4, 2.5);
    EXPECT_EQ(out.str(), quarter + "\rrendering [########################################] 100%");
    out.str("");
    bar.finish();
    EXPECT_EQ(out.str(), "\r" + std::string(quarter.size() - 1, ' ') + "\r");
    EXPECT_FALSE(bar.drawn());
}

} // namespace
} // namespace zrv
