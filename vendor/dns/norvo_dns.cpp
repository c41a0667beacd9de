// libnorvo-dns: the vendor resolver, an IPv4 host lookup on c-ares (hosts file first,
// then DNS) that delivers its one completion before it returns.
#define LOG_TAG "norvo-dns"

// The emulated device's resolver. A handset has the vendor's own libnorvo-dns, and c-ares's
// Android support is for apps with a Java VM (its header includes jni.h there).
#ifndef NORVO_HOST_STANDINS
#error "host stand-in: a handset build links the vendor's libnorvo-dns"
#endif

#include "request/vendor/norvo_dns.h"

#include <android-base/logging.h>
#include <ares.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "vendor/dns/resolver_config.h"

namespace norvo_dns {
namespace {

// A deep copy of a c-ares host entry: c-ares frees its own when the query callback
// returns, and the completion runs after the channel is gone.
class HostCopy {
 public:
  explicit HostCopy(const hostent& from) {
    name_ = from.h_name != nullptr ? from.h_name : "";
    for (char** a = from.h_aliases; a != nullptr && *a != nullptr; ++a) aliases_.emplace_back(*a);
    for (char** a = from.h_addr_list; a != nullptr && *a != nullptr; ++a) {
      addresses_.emplace_back(*a, from.h_length);
    }
    for (auto& a : aliases_) alias_ptrs_.push_back(&a[0]);
    alias_ptrs_.push_back(nullptr);
    for (auto& a : addresses_) address_ptrs_.push_back(&a[0]);
    address_ptrs_.push_back(nullptr);
    entry_.h_name = &name_[0];
    entry_.h_aliases = alias_ptrs_.data();
    entry_.h_addrtype = from.h_addrtype;
    entry_.h_length = from.h_length;
    entry_.h_addr_list = address_ptrs_.data();
  }
  HostCopy(const HostCopy&) = delete;
  HostCopy& operator=(const HostCopy&) = delete;

  hostent* get() { return &entry_; }

 private:
  std::string name_;
  std::vector<std::string> aliases_;
  std::vector<std::string> addresses_;
  std::vector<char*> alias_ptrs_;
  std::vector<char*> address_ptrs_;
  hostent entry_{};
};

struct Lookup {
  bool done = false;
  int status = ARES_ETIMEOUT;
  int timeouts = 0;
  std::unique_ptr<HostCopy> host;
};

void OnHost(void* arg, int status, int timeouts, hostent* host) {
  auto* lookup = static_cast<Lookup*>(arg);
  // Cancellation and channel destruction report here too; only the first answer counts.
  if (lookup->done) return;
  lookup->done = true;
  lookup->status = status;
  lookup->timeouts = timeouts;
  if (status == ARES_SUCCESS && host != nullptr && host->h_addrtype == AF_INET &&
      host->h_addr_list != nullptr && host->h_addr_list[0] != nullptr) {
    lookup->host = std::make_unique<HostCopy>(*host);
  } else if (status == ARES_SUCCESS) {
    lookup->status = ARES_ENODATA;
  }
}

bool LibraryReady() {
  static int init_status = ares_library_init(ARES_LIB_INIT_ALL);
  return init_status == ARES_SUCCESS;
}

struct ChannelDeleter {
  void operator()(ares_channel channel) const { ares_destroy(channel); }
};
using Channel = std::unique_ptr<std::remove_pointer_t<ares_channel>, ChannelDeleter>;

std::atomic<int> g_abort_fd{-1};

// Runs the channel until the lookup is answered, the deadline passes or the
// abort descriptor becomes readable.
void Drive(ares_channel channel, Lookup* lookup, int deadline_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!lookup->done) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
    std::vector<pollfd> fds;
    const int abort_fd = g_abort_fd.load();
    if (abort_fd >= 0) fds.push_back(pollfd{abort_fd, POLLIN, 0});
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
      if (events != 0) fds.push_back(pollfd{socks[i], events, 0});
    }
    timeval max_wait{left / 1000, static_cast<suseconds_t>((left % 1000) * 1000)};
    timeval tv;
    const timeval* wait = ares_timeout(channel, &max_wait, &tv);
    int wait_ms = static_cast<int>(wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000);
    const int ready = poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0 && errno != EINTR) {
      PLOG(ERROR) << "poll";
      break;
    }
    if (ready > 0 && abort_fd >= 0 && fds[0].revents != 0) {
      LOG(ERROR) << "lookup abandoned";
      lookup->done = true;
      lookup->status = ARES_ECANCELLED;
      break;
    }
    if (ready <= 0) {
      // Lets c-ares retry or give up on queries whose time has run out.
      ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
      continue;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      const bool readable = p.revents & (POLLIN | POLLERR | POLLHUP);
      const bool writable = p.revents & (POLLOUT | POLLERR | POLLHUP);
      ares_process_fd(channel, readable ? p.fd : ARES_SOCKET_BAD,
                      writable ? p.fd : ARES_SOCKET_BAD);
    }
  }
}

}  // namespace

int resolveNameWith(URLWrapper& url, ResolveCallback callback, const ResolverConfig& config) {
  Lookup lookup;
  if (!LibraryReady()) {
    lookup.done = true;
    lookup.status = ARES_ENOTINITIALIZED;
  } else {
    ares_options options{};
    options.timeout = config.attempt_timeout_ms;
    options.tries = config.tries;
    char lookups[] = "fb";  // the hosts file first, then DNS
    options.lookups = lookups;
    ares_channel raw = nullptr;
    int status =
        ares_init_options(&raw, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_LOOKUPS);
    Channel channel(status == ARES_SUCCESS ? raw : nullptr);
    if (status == ARES_SUCCESS && !config.servers.empty()) {
      status = ares_set_servers_ports_csv(channel.get(), config.servers.c_str());
    }
    if (status != ARES_SUCCESS) {
      LOG(ERROR) << "resolver setup failed: " << ares_strerror(status);
      lookup.done = true;
      lookup.status = status;
    } else {
      ares_gethostbyname(channel.get(), url.host.c_str(), AF_INET, OnHost, &lookup);
      Drive(channel.get(), &lookup, config.deadline_ms);
      if (!lookup.done) {
        LOG(ERROR) << "lookup of " << url.host << " timed out";
        // Destroying the channel reports the open query as ARES_EDESTRUCTION; closing
        // the lookup first keeps the answer ARES_ETIMEOUT.
        lookup.done = true;
        lookup.status = ARES_ETIMEOUT;
      }
    }
    channel.reset();
  }
  if (callback != nullptr) {
    callback(nullptr, lookup.status, lookup.timeouts, lookup.host ? lookup.host->get() : nullptr);
  }
  return 0;
}

}  // namespace norvo_dns

void resolveNameAbortOn(int fd) { norvo_dns::g_abort_fd = fd; }

int resolveName(URLWrapper& url, ResolveCallback callback) {
  return norvo_dns::resolveNameWith(url, callback, norvo_dns::ResolverConfig());
}
