#include "access/unauthenticated_connections.h"

#include <map>
#include <mutex>
#include <utility>

#include "access/address_key.h"

namespace velmar::access {

struct UnauthenticatedConnections::State {
  std::mutex mutex;
  std::map<std::string, std::size_t> counts;  // by client
  std::multimap<std::string, Place*> byPeer;  // the places still counted
};

struct UnauthenticatedConnections::Place {
  std::shared_ptr<State> state;
  std::string key;
  std::string peer;

  Place(std::shared_ptr<State> owner, std::string limitKey, std::string address)
      : state(std::move(owner)), key(std::move(limitKey)), peer(std::move(address)) {}
  ~Place() {
    std::lock_guard lock(state->mutex);
    const auto [first, last] = state->byPeer.equal_range(peer);
    for (auto it = first; it != last; ++it) {
      if (it->second != this) continue;
      state->byPeer.erase(it);
      release(*state, key);
      return;
    }
  }

  static void release(State& state, const std::string& key) {
    const auto count = state.counts.find(key);
    if (count != state.counts.end() && --count->second == 0) state.counts.erase(count);
  }
};

UnauthenticatedConnections::UnauthenticatedConnections(std::size_t perClient)
    : perClient_(perClient), state_(std::make_shared<State>()) {}

std::shared_ptr<void> UnauthenticatedConnections::Admit(const std::string& peer) {
  std::string key = LimitKeyOf(peer);
  std::lock_guard lock(state_->mutex);
  std::size_t& count = state_->counts[key];
  if (perClient_ != 0 && count >= perClient_) return nullptr;
  ++count;
  auto place = std::make_shared<Place>(state_, std::move(key), peer);
  state_->byPeer.emplace(peer, place.get());
  return place;
}

void UnauthenticatedConnections::Release(const std::string& peer) {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->byPeer.find(peer);
  if (it == state_->byPeer.end()) return;
  Place::release(*state_, it->second->key);
  state_->byPeer.erase(it);
}

std::size_t UnauthenticatedConnections::Count(const std::string& peer) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->counts.find(LimitKeyOf(peer));
  return it == state_->counts.end() ? 0 : it->second;
}

}  // namespace velmar::access
