#include "hid/unit_claims.h"

namespace tovrix {

UnitClaims::~UnitClaims() {
  for (const auto& [key, held] : claims_) letGo_(held.hold);
}

std::optional<OpenFailure> UnitClaims::Claim(const std::string& key, const std::function<Taken()>& take) {
  if (Share(key)) return std::nullopt;
  Taken taken = take();
  if (auto* failure = std::get_if<OpenFailure>(&taken)) return std::move(*failure);
  claims_.emplace(key, Held{std::get<Hold>(taken), 1});
  return std::nullopt;
}

bool UnitClaims::Share(const std::string& key) {
  const auto held = claims_.find(key);
  if (held == claims_.end()) return false;
  ++held->second.shares;
  return true;
}

void UnitClaims::Release(const std::string& key) {
  const auto held = claims_.find(key);
  if (held == claims_.end() || --held->second.shares > 0) return;
  const Hold hold = held->second.hold;
  claims_.erase(held);
  letGo_(hold);
}

}  // namespace tovrix
