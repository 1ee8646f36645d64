// Sends on one connection from several threads at once: a send is written to the socket outside
// the transport's lock, so the ones that come meanwhile queue behind it, and a disconnect may
// come while it is being written.
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "platform_test.h"
#include "qv/tdi.h"
#include "tdi_client.h"

using namespace tditest;

namespace {

constexpr int kThreads = 4;
constexpr size_t kMessage = 4000;  // enough of them fill the socket: partial writes, queued sends

std::string Message(int thread, int seq)
{
    std::string m(kMessage, char('a' + thread));
    char head[16];
    int n = snprintf(head, sizeof(head), "T%d:%05d|", thread, seq);
    memcpy(&m[0], head, size_t(n));
    return m;
}

int OpenDescriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

class SendRaceTest : public qvtest::PlatformTest {
protected:
    void LinkTo(TdiClient &client, Peer &peer, Recorder &recorder)
    {
        ASSERT_EQ(client.Link(kLoopback, peer.Port(), (PVOID)RecordReceive, (PVOID)RecordDisconnect, &recorder),
                  STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());
    }
};

TEST_F(SendRaceTest, SendsFromManyThreadsArriveWholeAndInOrder)
{
    // More than the socket holds while the peer does not read: writes end part-way, later
    // sends queue, and the first of them may have started while another thread was writing.
    constexpr int kPerThread = 600;
    Peer peer;
    Recorder recorder;
    TdiClient client;
    LinkTo(client, peer, recorder);
    std::vector<std::unique_ptr<Request>> requests[kThreads];
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string m = Message(t, i);
                requests[t].push_back(client.StartSend(m.data(), ULONG(m.size())));
            }
        });
    for (auto &s : senders) s.join();
    std::string received = peer.Read(kThreads * kPerThread * kMessage, 60000);
    for (auto &list : requests)
        for (auto &r : list) {
            ASSERT_TRUE(r->Wait());
            EXPECT_EQ(r->Status(), STATUS_SUCCESS);
            EXPECT_EQ(r->Information(), kMessage);
        }
    ASSERT_EQ(received.size(), kThreads * kPerThread * kMessage);
    // Each message is whole (no other send's bytes inside it) and each thread's come in order.
    int next[kThreads] = {};
    for (size_t at = 0; at < received.size(); at += kMessage) {
        int thread = received[at + 1] - '0';
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << "at " << at;
        ASSERT_EQ(received.compare(at, kMessage, Message(thread, next[thread])), 0) << "at " << at;
        ++next[thread];
    }
}

TEST_F(SendRaceTest, AbortWhileSendsAreWrittenCompletesThemAllAndClosesTheSocket)
{
    const int descriptors = OpenDescriptors();
    for (int round = 0; round < 20 && !HasFatalFailure(); ++round) {
        Peer peer;
        Recorder recorder;
        TdiClient client;
        LinkTo(client, peer, recorder);
        std::atomic<int> sent{0}, ended{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < kThreads; ++t)
            senders.emplace_back([&, t] {
                // Until the connection is gone; the peer does not read, so sends pile up.
                for (int i = 0;; ++i) {
                    std::string m = Message(t, i);
                    NTSTATUS status = client.Send(m.data(), ULONG(m.size()));
                    if (status == STATUS_TIMEOUT) ADD_FAILURE() << "a send never completed";
                    if (status != STATUS_SUCCESS) break;
                    ++sent;
                }
                ++ended;
            });
        ASSERT_TRUE(qvtest::WaitUntil([&] { return sent.load() >= round % 5; }));
        EXPECT_EQ(client.Disconnect(TDI_DISCONNECT_ABORT), STATUS_SUCCESS);
        for (auto &s : senders) s.join();
        EXPECT_EQ(ended.load(), kThreads);
        EXPECT_TRUE(peer.WaitClosed());
        client.Close();
    }
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a socket closed during its write was never closed";
}

}  // namespace
