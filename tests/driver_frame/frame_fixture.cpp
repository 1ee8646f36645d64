#include "frame_fixture.h"

namespace frametest {

void FrameTest::Configure(HANDLE file, DWORD totalMs)
{
    ASSERT_TRUE(qvtest::SetModbusLine(file));
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = totalMs;
    timeouts.WriteTotalTimeoutConstant = 10000;
    ASSERT_TRUE(SetCommTimeouts(file, &timeouts));
}

std::vector<uint8_t> FrameTest::Transact(HANDLE file, const std::vector<uint8_t> &request, size_t replyLength)
{
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, request.data(), (DWORD)request.size(), &written, nullptr));
    EXPECT_EQ(written, request.size());
    std::vector<uint8_t> reply(replyLength);
    DWORD read = 0;
    qvtest::IoDeadline deadline(file, 30000);
    EXPECT_TRUE(ReadFile(file, reply.data(), (DWORD)reply.size(), &read, nullptr));
    EXPECT_FALSE(deadline.Expired()) << "the read outlived every timeout the port was given";
    reply.resize(read);
    return reply;
}

}  // namespace frametest
