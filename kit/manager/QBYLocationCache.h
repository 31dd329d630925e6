// The geocoder's answers, kept in the store as Location records so that a place name is
// asked once: found places for 30 days, names that could not be placed for 7 days, places the
// user set by hand for good. Names and regions are stored lower-cased; no region is stored as
// nothing. An expired record is deleted when it is looked up.
//
// Threads: on the queue of the context it is given (the view context: the main thread).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace qby {

class Location;
class QBYManagedObjectContext;

class QBYLocationCache {
 public:
  explicit QBYLocationCache(QBYManagedObjectContext& context) : context_(context) {}

  // The live record for the name in the region (empty: no region), or nullptr when there is
  // none, it just expired (and was deleted), or the store could not be read (logged).
  std::shared_ptr<Location> lookup(std::string_view name, std::string_view region);

  void insertFound(std::string_view name, std::string_view region, double latitude,
                   double longitude, double radius);
  void insertFailed(std::string_view name, std::string_view region, std::string_view message);
  // Replaces every record of the name with one at the coordinate that never expires.
  std::shared_ptr<Location> placeByHand(std::string_view name, std::string_view region,
                                        double latitude, double longitude);
  // Deletes every record of the name, so that the geocoder is asked again.
  void forget(std::string_view name, std::string_view region);

  // Writes the changes; false (logged) when the store refused them.
  bool save();

 private:
  std::shared_ptr<Location> insert(std::string_view name, std::string_view region);
  void deleteAll(std::string_view name, std::string_view region);

  QBYManagedObjectContext& context_;
};

}  // namespace qby
