// The Windows serial side on a port that Wine backs with a pseudo-terminal master (COM255,
// linked to /dev/ptmx where the test is registered): the exchange runs under its own write
// and read time-outs and leaves the port's time-outs as it found them.
#include <gtest/gtest.h>
#include <windows.h>

#include "link/serial_port.h"

namespace {

TEST(SerialWin, ExchangeSetsItsTimeoutsAndPutsTheOldOnesBack) {
    morva::CommPort port;
    ASSERT_EQ(morva::SerialOpen(255, &port), morva::kSerialOpened);
    // A second handle to the same open port reads its time-outs past morva's close.
    HANDLE same = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(port.handle),
                                GetCurrentProcess(), &same, 0, FALSE, DUPLICATE_SAME_ACCESS));
    COMMTIMEOUTS during{};
    const BOOL readDuring = GetCommTimeouts(same, &during);
    morva::SerialClose(&port);
    COMMTIMEOUTS after{};
    const BOOL readAfter = GetCommTimeouts(same, &after);
    CloseHandle(same);
    ASSERT_TRUE(readDuring && readAfter);
    // A port that Wine opens anew has every time-out at 0.
    EXPECT_EQ(during.WriteTotalTimeoutMultiplier, 2U);
    EXPECT_EQ(during.WriteTotalTimeoutConstant, 2000U);
    // Reads return at once with what has arrived.
    EXPECT_EQ(during.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(during.ReadTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(during.ReadTotalTimeoutConstant, 0U);
    EXPECT_EQ(after.ReadIntervalTimeout, 0U);
    EXPECT_EQ(after.WriteTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, 0U);
}

}  // namespace
