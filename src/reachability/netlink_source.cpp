#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

#include "platform/format.h"
#include "platform/log.h"
#include "reachability/network_source.h"

namespace est {
namespace {

constexpr size_t kReceiveBuffer = 64 * 1024;  // the kernel never sends a larger datagram
constexpr int kDumpAttempts = 4;

Error systemError(const char* what, int code) {
  return Error(kReachabilityErrorDomain, code, strprintf("%s: %s", what, std::strerror(code)));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::optional<Fd> openRouteSocket(unsigned groups, Error* error) {
  Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd.get() < 0) {
    Error::assign(error, systemError("rtnetlink socket", errno));
    return std::nullopt;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    Error::assign(error, systemError("rtnetlink bind", errno));
    return std::nullopt;
  }
  return fd;
}

template <class T>
T readStruct(const char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Calls f(type, payload, length) for each attribute in [data, data + length).
template <class F>
void forEachAttribute(const char* data, size_t length, F&& f) {
  size_t offset = 0;
  while (length - offset >= sizeof(rtattr)) {
    auto attr = readStruct<rtattr>(data + offset);
    if (attr.rta_len < sizeof(rtattr) || attr.rta_len > length - offset) return;
    f(attr.rta_type, data + offset + RTA_LENGTH(0), attr.rta_len - RTA_LENGTH(0));
    offset += RTA_ALIGN(attr.rta_len);
    if (offset > length) return;
  }
}

// Calls f(header, payload, length) for each message of one datagram.
template <class F>
void forEachMessage(const char* data, size_t length, F&& f) {
  size_t offset = 0;
  while (length - offset >= sizeof(nlmsghdr)) {
    auto header = readStruct<nlmsghdr>(data + offset);
    if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) return;
    f(header, data + offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
    offset += NLMSG_ALIGN(header.nlmsg_len);
    if (offset > length) return;
  }
}

std::uint32_t readU32(const char* data, size_t length) {
  return length >= 4 ? readStruct<std::uint32_t>(data) : 0;
}

void readAddressBytes(IpAddress& ip, int family, const char* data, size_t length) {
  size_t want = family == AF_INET ? 4 : 16;
  if (length < want) return;
  ip.family = family;
  std::memcpy(ip.bytes.data(), data, want);
}

std::optional<Link> parseLink(const char* payload, size_t length) {
  if (length < sizeof(ifinfomsg)) return std::nullopt;
  auto info = readStruct<ifinfomsg>(payload);
  Link link;
  link.index = info.ifi_index;
  link.type = info.ifi_type;
  link.flags = info.ifi_flags;
  size_t skip = NLMSG_ALIGN(sizeof(ifinfomsg));
  if (length < skip) return link;
  forEachAttribute(payload + skip, length - skip, [&](unsigned type, const char* data, size_t n) {
    if (type == IFLA_IFNAME) link.name.assign(data, ::strnlen(data, n));
  });
  return link;
}

std::optional<Address> parseAddress(const char* payload, size_t length) {
  if (length < sizeof(ifaddrmsg)) return std::nullopt;
  auto info = readStruct<ifaddrmsg>(payload);
  if (info.ifa_family != AF_INET && info.ifa_family != AF_INET6) return std::nullopt;
  Address address;
  address.ifindex = static_cast<int>(info.ifa_index);
  address.prefixLength = info.ifa_prefixlen;
  IpAddress local, peer;
  size_t skip = NLMSG_ALIGN(sizeof(ifaddrmsg));
  if (length < skip) return std::nullopt;
  forEachAttribute(payload + skip, length - skip, [&](unsigned type, const char* data, size_t n) {
    if (type == IFA_LOCAL) readAddressBytes(local, info.ifa_family, data, n);
    if (type == IFA_ADDRESS) readAddressBytes(peer, info.ifa_family, data, n);
  });
  // On point-to-point links IFA_ADDRESS is the far end; IFA_LOCAL is ours.
  address.address = local.family ? local : peer;
  if (!address.address.family) return std::nullopt;
  return address;
}

// Dumps may hold cached copies of routes, which are no routes of their own; the kernel's
// answer to one lookup is always such a copy.
std::optional<Route> parseRoute(const char* payload, size_t length, bool lookupAnswer = false) {
  if (length < sizeof(rtmsg)) return std::nullopt;
  auto info = readStruct<rtmsg>(payload);
  if (info.rtm_family != AF_INET && info.rtm_family != AF_INET6) return std::nullopt;
  if ((info.rtm_flags & RTM_F_CLONED) && !lookupAnswer) return std::nullopt;
  Route route;
  route.table = info.rtm_table;
  route.type = info.rtm_type;
  route.prefixLength = info.rtm_dst_len;
  route.destination.family = info.rtm_family;
  size_t skip = NLMSG_ALIGN(sizeof(rtmsg));
  if (length < skip) return route;
  forEachAttribute(payload + skip, length - skip, [&](unsigned type, const char* data, size_t n) {
    switch (type) {
      case RTA_TABLE:
        route.table = static_cast<int>(readU32(data, n));
        break;
      case RTA_DST:
        readAddressBytes(route.destination, info.rtm_family, data, n);
        break;
      case RTA_GATEWAY:
      case RTA_VIA:
        route.hasGateway = true;
        break;
      case RTA_OIF:
        route.oif = static_cast<int>(readU32(data, n));
        break;
      case RTA_PRIORITY:
        route.priority = readU32(data, n);
        break;
      case RTA_MULTIPATH:
        // The first next hop stands for the route.
        if (n >= sizeof(rtnexthop)) {
          auto hop = readStruct<rtnexthop>(data);
          route.oif = hop.rtnh_ifindex;
          size_t hopLength = std::min<size_t>(hop.rtnh_len, n);
          size_t hopSkip = RTNH_ALIGN(sizeof(rtnexthop));
          if (hopLength > hopSkip)
            forEachAttribute(data + hopSkip, hopLength - hopSkip,
                             [&](unsigned t, const char*, size_t) {
                               if (t == RTA_GATEWAY || t == RTA_VIA) route.hasGateway = true;
                             });
        }
        break;
      default:
        break;
    }
  });
  return route;
}

enum class Outcome { Done, Interrupted, Failed };

// Sends one request and hands every reply message to `onMessage` until the kernel is done:
// NLMSG_DONE for a dump, the first answer otherwise. A negative kernel error is passed to
// `onError`, which decides whether it is a failure.
template <class OnMessage, class OnError>
Outcome exchange(int fd, std::uint32_t seq, std::uint16_t type, std::uint16_t flags,
                 const void* body, size_t bodyLength, OnMessage&& onMessage, OnError&& onError,
                 Error* error) {
  std::vector<char> request(NLMSG_LENGTH(bodyLength));
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(request.size());
  header.nlmsg_type = type;
  header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  header.nlmsg_seq = seq;
  std::memcpy(request.data(), &header, sizeof header);
  std::memcpy(request.data() + NLMSG_HDRLEN, body, bodyLength);

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    Error::assign(error, systemError("rtnetlink send", errno));
    return Outcome::Failed;
  }

  const bool dump = flags & NLM_F_DUMP;
  bool interrupted = false;
  std::vector<char> buffer(kReceiveBuffer);
  for (;;) {
    sockaddr_nl from{};
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd, &message, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      Error::assign(error, systemError("rtnetlink receive", errno));
      return Outcome::Failed;
    }
    if (message.msg_flags & MSG_TRUNC) {
      Error::assign(error, systemError("rtnetlink receive", EMSGSIZE));
      return Outcome::Failed;
    }
    if (from.nl_pid != 0) continue;  // only the kernel answers our requests

    std::optional<Outcome> outcome;
    forEachMessage(buffer.data(), static_cast<size_t>(n),
                   [&](const nlmsghdr& h, const char* payload, size_t length) {
                     if (outcome || h.nlmsg_seq != seq) return;
                     if (h.nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
                     if (h.nlmsg_type == NLMSG_DONE) {
                       outcome = interrupted ? Outcome::Interrupted : Outcome::Done;
                     } else if (h.nlmsg_type == NLMSG_ERROR) {
                       int code = length >= sizeof(nlmsgerr) ? readStruct<nlmsgerr>(payload).error
                                                             : -EPROTO;
                       if (code == 0) {
                         outcome = Outcome::Done;
                       } else if (onError(-code)) {
                         outcome = Outcome::Done;
                       } else {
                         Error::assign(error, systemError("rtnetlink request", -code));
                         outcome = Outcome::Failed;
                       }
                     } else {
                       onMessage(h.nlmsg_type, payload, length);
                       if (!dump) outcome = Outcome::Done;
                     }
                   });
    if (outcome) return *outcome;
  }
}

std::optional<RouteAnswer> askRoute(int fd, std::uint32_t seq, const IpAddress& destination,
                                    Error* error) {
  RouteAnswer answer;
  answer.destination = destination;
  const size_t addressLength = destination.size();
  std::vector<char> body(NLMSG_ALIGN(sizeof(rtmsg)) + RTA_SPACE(addressLength));
  rtmsg query{};
  query.rtm_family = static_cast<unsigned char>(destination.family);
  query.rtm_dst_len = static_cast<unsigned char>(addressLength * 8);
  std::memcpy(body.data(), &query, sizeof query);
  rtattr attr{};
  attr.rta_len = static_cast<unsigned short>(RTA_LENGTH(addressLength));
  attr.rta_type = RTA_DST;
  char* at = body.data() + NLMSG_ALIGN(sizeof(rtmsg));
  std::memcpy(at, &attr, sizeof attr);
  std::memcpy(at + RTA_LENGTH(0), destination.bytes.data(), addressLength);

  auto onMessage = [&](std::uint16_t type, const char* payload, size_t length) {
    if (type != RTM_NEWROUTE) return;
    if (auto route = parseRoute(payload, length, true)) {
      answer.routable = true;
      answer.type = route->type;
      answer.oif = route->oif;
      answer.hasGateway = route->hasGateway;
    }
  };
  // Unreachable, prohibited and blackholed destinations come back as errors: no route.
  auto onError = [](int) { return true; };
  if (exchange(fd, seq, RTM_GETROUTE, 0, body.data(), body.size(), onMessage, onError, error) !=
      Outcome::Done)
    return std::nullopt;
  return answer;
}

std::optional<NetworkSnapshot> dumpOnce(int fd, std::uint32_t& seq, bool& interrupted,
                                        Error* error) {
  NetworkSnapshot snapshot;
  interrupted = false;
  auto refuse = [](int) { return false; };
  auto run = [&](std::uint16_t type, const void* body, size_t length, auto&& onMessage) {
    Outcome outcome = exchange(fd, ++seq, type, NLM_F_DUMP, body, length, onMessage, refuse, error);
    if (outcome == Outcome::Interrupted) interrupted = true;
    return outcome != Outcome::Failed;
  };

  ifinfomsg linkQuery{};
  ifaddrmsg addressQuery{};
  rtmsg routeQuery{};
  bool ok = run(RTM_GETLINK, &linkQuery, sizeof linkQuery,
                [&](std::uint16_t type, const char* payload, size_t length) {
                  if (type != RTM_NEWLINK) return;
                  if (auto link = parseLink(payload, length))
                    snapshot.links.push_back(std::move(*link));
                }) &&
            run(RTM_GETADDR, &addressQuery, sizeof addressQuery,
                [&](std::uint16_t type, const char* payload, size_t length) {
                  if (type != RTM_NEWADDR) return;
                  if (auto address = parseAddress(payload, length))
                    snapshot.addresses.push_back(*address);
                }) &&
            run(RTM_GETROUTE, &routeQuery, sizeof routeQuery,
                [&](std::uint16_t type, const char* payload, size_t length) {
                  if (type != RTM_NEWROUTE) return;
                  if (auto route = parseRoute(payload, length)) snapshot.routes.push_back(*route);
                });
  if (!ok) return std::nullopt;
  return snapshot;
}

class NetlinkWatch : public NetworkWatch {
 public:
  NetlinkWatch(Fd socket, Fd stop, NetworkSource::Changed changed)
      : socket_(std::move(socket)), stop_(std::move(stop)) {
    thread_ = std::thread([this, changed = std::move(changed)] { run(changed); });
  }
  ~NetlinkWatch() override {
    std::uint64_t one = 1;
    while (::write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }

 private:
  void run(const NetworkSource::Changed& changed) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        logf("reachability: watching stopped: %s", std::strerror(errno));
        return;
      }
      if (fds[1].revents) return;
      bool relevant = false;
      if (!drain(relevant)) return;
      if (relevant) changed();
    }
  }

  // Reads everything queued. Wireless-extension events (scan results and the like) arrive as
  // link messages but change nothing that matters here, so they are skipped.
  bool drain(bool& relevant) {
    std::vector<char> buffer(kReceiveBuffer);
    for (;;) {
      sockaddr_nl from{};
      iovec io{buffer.data(), buffer.size()};
      msghdr message{};
      message.msg_name = &from;
      message.msg_namelen = sizeof from;
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      ssize_t n = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno == EINTR) continue;
        if (errno == ENOBUFS) {  // events were lost: assume the worst
          relevant = true;
          continue;
        }
        logf("reachability: watching stopped: %s", std::strerror(errno));
        return false;
      }
      if (from.nl_pid != 0) continue;
      forEachMessage(buffer.data(), static_cast<size_t>(n),
                     [&](const nlmsghdr& h, const char* payload, size_t length) {
                       if (h.nlmsg_type == RTM_NEWLINK && isWirelessEvent(payload, length)) return;
                       relevant = true;
                     });
    }
  }

  static bool isWirelessEvent(const char* payload, size_t length) {
    size_t skip = NLMSG_ALIGN(sizeof(ifinfomsg));
    if (length < skip) return false;
    bool wireless = false;
    forEachAttribute(payload + skip, length - skip, [&](unsigned type, const char*, size_t) {
      if (type == IFLA_WIRELESS) wireless = true;
    });
    return wireless;
  }

  Fd socket_;
  Fd stop_;
  std::thread thread_;
};

std::string readFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::shared_ptr<NetworkSource> NetworkSource::system() {
  static std::shared_ptr<NetworkSource> source = std::make_shared<NetlinkNetworkSource>();
  return source;
}

NetlinkNetworkSource::NetlinkNetworkSource(std::filesystem::path sysfsNet)
    : sysfsNet_(std::move(sysfsNet)) {}

void NetlinkNetworkSource::readSysfsTraits(Link& link, const std::filesystem::path& sysfsNet) {
  if (link.name.empty() || link.name == "." || link.name == ".." ||
      link.name.find('/') != std::string::npos)
    return;
  const std::filesystem::path dir = sysfsNet / link.name;
  std::string index = readFirstLine(dir / "ifindex");
  if (index.empty() || index != std::to_string(link.index)) return;
  std::error_code ec;
  link.wireless = std::filesystem::exists(dir / "wireless", ec) ||
                  std::filesystem::exists(dir / "phy80211", ec);
  std::ifstream uevent(dir / "uevent");
  for (std::string line; std::getline(uevent, line);)
    if (line.rfind("DEVTYPE=", 0) == 0) link.devType = line.substr(8, 64);
  if (link.devType == "wlan") link.wireless = true;
}

std::optional<NetworkSnapshot> NetlinkNetworkSource::snapshot(
    const std::vector<IpAddress>& destinations, Error* error) {
  auto fd = openRouteSocket(0, error);
  if (!fd) return std::nullopt;
  timeval limit{5, 0};  // the kernel answers at once; never hang on a broken one
  ::setsockopt(fd->get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

  std::uint32_t seq = 0;
  std::optional<NetworkSnapshot> snapshot;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    bool interrupted = false;
    snapshot = dumpOnce(fd->get(), seq, interrupted, error);
    if (!snapshot) return std::nullopt;
    if (!interrupted) break;  // a dump that raced a change is retried, then taken as it is
  }
  for (Link& link : snapshot->links) readSysfsTraits(link, sysfsNet_);
  for (const IpAddress& destination : destinations) {
    if (destination.family != AF_INET && destination.family != AF_INET6) continue;
    auto answer = askRoute(fd->get(), ++seq, destination, error);
    if (!answer) return std::nullopt;
    snapshot->answers.push_back(*answer);
  }
  return snapshot;
}

std::unique_ptr<NetworkWatch> NetlinkNetworkSource::watch(Changed changed, Error* error) {
  auto socket = openRouteSocket(
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE,
      error);
  if (!socket) return nullptr;
  int size = 1 << 20;  // bursts (a link going down drops many routes) must not overflow
  ::setsockopt(socket->get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  Fd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (stop.get() < 0) {
    Error::assign(error, systemError("eventfd", errno));
    return nullptr;
  }
  try {
    return std::make_unique<NetlinkWatch>(std::move(*socket), std::move(stop), std::move(changed));
  } catch (const std::system_error& e) {
    Error::assign(error, Error(kReachabilityErrorDomain, e.code().value(), e.what()));
    return nullptr;
  }
}

}  // namespace est
