// The presence broadcaster inside a private network namespace (see
// broadcaster_ns.sh): its datagrams as captured on the far end of a veth
// pair, and its failure where no route leads anywhere.
#include "core/working.h"
#include "evidence/broadcaster.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

// The UDP payload of the next IPv4 datagram to port 7600 seen on the
// interface, with its addresses; empty after 5 s without one.
struct Datagram {
  std::string payload;
  in_addr_t dst = 0;
  unsigned short sport = 0;
};

Datagram nextBroadcast(int fd) {
  unsigned char frame[2048];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 5000) > 0) {
    const ssize_t n = ::recv(fd, frame, sizeof frame, 0);
    if (n < static_cast<ssize_t>(ETH_HLEN + sizeof(iphdr) + sizeof(udphdr))) continue;
    if (((frame[12] << 8) | frame[13]) != ETH_P_IP) continue;
    iphdr ip;
    std::memcpy(&ip, frame + ETH_HLEN, sizeof ip);
    const std::size_t udpAt = ETH_HLEN + ip.ihl * 4u;
    if (ip.protocol != IPPROTO_UDP || static_cast<std::size_t>(n) < udpAt + sizeof(udphdr)) continue;
    udphdr udp;
    std::memcpy(&udp, frame + udpAt, sizeof udp);
    if (ntohs(udp.dest) != broadcast::kPort) continue;
    const std::size_t len = ntohs(udp.len) - sizeof(udphdr);
    if (udpAt + sizeof(udphdr) + len > static_cast<std::size_t>(n)) continue;
    return {std::string(reinterpret_cast<char*>(frame) + udpAt + sizeof(udphdr), len), ip.daddr, ntohs(udp.source)};
  }
  return {};
}

TEST(Broadcaster, AnnouncesTheUnitOnceAPeriodUntilStopped) {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  ASSERT_GE(fd, 0);
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(ETH_P_ALL);
  at.sll_ifindex = static_cast<int>(if_nametoindex("v1"));
  ASSERT_NE(at.sll_ifindex, 0) << "run through broadcaster_ns.sh";
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);

  testing::internal::CaptureStdout();
  std::thread loop(broadcaster);
  for (int k = 0; k < 2; ++k) {
    const Datagram d = nextBroadcast(fd);
    EXPECT_EQ(d.payload, "Tegra alive");
    EXPECT_EQ(d.dst, htonl(INADDR_BROADCAST));
    EXPECT_EQ(d.sport, broadcast::kPort);
  }
  working = 0;
  loop.join();  // ends within a period once the run flag drops
  working = 1;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ::close(fd);
}

TEST(Broadcaster, SaysSoWhenNoRouteTakesTheBroadcast) {
  testing::internal::CaptureStdout();
  broadcaster();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] broadcaster: error in sendto()\n");
}

}  // namespace
