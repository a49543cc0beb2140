// The claim that lets one updater at a time use a unit. Two updaters
// writing to one unit at once would interleave their commands, so a
// backend claims the unit's interface when it opens it for writing, and
// refuses the open when another update holds the claim. The claim is the
// platform's (a lock on the node, a named object of the system): another
// HidApi object, in this process or another, is another update.
//
// What every backend shares lives here: an object's claims, each by a key
// of the backend's choice (the interface's path, or a name made from it),
// taken once and shared by the object's later handles on the interface
// (its reading handle), and let go with the last of them or with the
// object. The backend gives only its platform calls: the take, which
// either holds the claim or says why not (OpenFailure::Kind::Claimed when
// another update holds it), and the let-go.
//
// One object serves one thread, as the backend that owns it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "hid/ApiDeclarations.h"

namespace tovrix {

class UnitClaims {
 public:
  // What the platform keeps while it holds a claim: a descriptor, a
  // handle's value.
  using Hold = std::intptr_t;
  // What a take gives: the hold, or why the claim cannot be had.
  using Taken = std::variant<Hold, OpenFailure>;

  explicit UnitClaims(std::function<void(Hold)> letGo) : letGo_(std::move(letGo)) {}
  // Lets every claim still held go.
  ~UnitClaims();
  UnitClaims(const UnitClaims&) = delete;
  UnitClaims& operator=(const UnitClaims&) = delete;

  // A share of the claim on key for one handle: of the claim this object
  // holds already, else of one that take() takes now. Nothing when the
  // handle has its share; the take's failure when it has none.
  std::optional<OpenFailure> Claim(const std::string& key, const std::function<Taken()>& take);
  // A share of the claim held on key for one more handle; false (no share)
  // when this object holds none.
  bool Share(const std::string& key);
  // Gives one handle's share back: the last one lets the claim go.
  void Release(const std::string& key);

  // Whether this object holds a claim on key.
  bool Holds(const std::string& key) const { return claims_.count(key) != 0; }

 private:
  struct Held {
    Hold hold = 0;
    int shares = 0;
  };

  std::function<void(Hold)> letGo_;
  std::map<std::string, Held> claims_;
};

}  // namespace tovrix
