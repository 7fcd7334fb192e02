#include "tests/support/site.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace qrn::test {

using namespace std::chrono_literals;

platform::HttpResponse HttpGet(const std::string& url) {
  platform::HttpSession session;
  session.Open("site-test");
  session.SetTotalTimeout(20000);
  return session.Get(url);
}

std::string Origin(const SecdProcess& secd) {
  return "http://127.0.0.1:" + std::to_string(secd.port());
}

double MetricValue(const std::string& text, const std::string& name) {
  const std::string key = "\n" + name + " ";
  const size_t at = ("\n" + text).find(key);
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + key.size() - 1));
}

std::unique_ptr<HaproxyProcess> ProxyInFront(
    const std::vector<std::unique_ptr<SecdProcess>>& secds) {
  std::vector<int> ports;
  for (const auto& secd : secds) ports.push_back(secd->port());
  auto proxy = std::make_unique<HaproxyProcess>(ports);
  for (size_t i = 0; i < secds.size(); ++i) {
    const std::string name = "secd" + std::to_string(i + 1);
    if (!proxy->WaitForStatus(name, "UP"))
      throw std::runtime_error("HAProxy does not see " + name + " UP: " + proxy->Output());
  }
  return proxy;
}

LoadUnderStop CombinedLoadWhileStopping(const HaproxyProcess& proxy, const std::string& expected,
                                        SecdProcess& victim) {
  constexpr int kThreads = 4, kPerThread = 50;
  std::atomic<int> done{0}, full{0};
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> clients;
  const std::string url = proxy.base() + kCombinedRequest;
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&, t] {
      platform::HttpSession session;  // keeps its connection to the proxy
      session.Open("site-test");
      session.SetTotalTimeout(20000);
      for (int i = 0; i < kPerThread; ++i) {
        const platform::HttpResponse r = session.Get(url);
        if (r.status == 200 && r.body == expected)
          ++full;
        else if (failures[t].empty())
          failures[t] = "status " + std::to_string(r.status) + " " + r.error + " " +
                        r.body.substr(0, 200) + "\n";
        ++done;
        if (i % 8 == 0) std::this_thread::sleep_for(2ms);  // spread the run across the stop
      }
    });
  LoadUnderStop result;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (done < 40 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  result.before_stop = done;
  result.stop_exit = victim.Stop();
  for (auto& c : clients) c.join();
  result.sent = done;
  result.answered = full;
  for (const std::string& f : failures) result.failures += f;
  return result;
}

}  // namespace qrn::test
