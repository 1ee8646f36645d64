#include "frame_fixture.h"

namespace frametest {

void FrameTest::Configure(HANDLE file, DWORD totalMs)
{
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(file, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(file, &dcb));
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
    EXPECT_TRUE(ReadFile(file, reply.data(), (DWORD)reply.size(), &read, nullptr));
    reply.resize(read);
    return reply;
}

}  // namespace frametest
