// The music player needs an application object to deliver its
// notifications on the main thread; this program has none.
#include "platform/xaudio/xaudioplayer.h"

#include <gtest/gtest.h>

TEST(XaudioNoApplication, HiddenWindowCannotBeCreated)
{
    try {
        TXaudioPlayer p;
        FAIL() << "made without an application object";
    } catch (const EXaudioError& e) {
        EXPECT_STREQ(e.what(), "Cannot Create Hidden Window");
    }
}
