// A fixed setting for date tests: ICU's default zone and locale pinned (and restored after
// each test), "now" pinned, and local wall-clock moments built in the pinned zone.
#pragma once

#include <gtest/gtest.h>
#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <memory>
#include <optional>

#include "platform/Date.h"

namespace qby::test {

inline void setDefaultZone(const char* id) {
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(id));
}

inline void setDefaultLocale(const char* id) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(id), status);
  ASSERT_TRUE(U_SUCCESS(status));
}

// The moment the wall clock of the default zone shows that time.
inline Date local(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(icu::Locale("en_US"), status));
  calendar->clear();
  calendar->set(year, month - 1, day, hour, minute, second);
  const UDate millis = calendar->getTime(status);
  EXPECT_TRUE(U_SUCCESS(status));
  return Date(millis / 1000.0);
}

class PinnedDateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedZone_.reset(icu::TimeZone::createDefault());
    savedLocale_ = icu::Locale::getDefault();
    setDefaultZone("Europe/Berlin");
    setDefaultLocale("en_US");
    pinNow(local(2024, 3, 12, 10, 0));  // a Tuesday, three weeks before summer time
  }

  void TearDown() override {
    clock_.reset();
    icu::TimeZone::adoptDefault(savedZone_.release());
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(savedLocale_, status);
  }

  void pinNow(Date now) {
    clock_.reset();
    now_ = now;
    clock_ = std::make_unique<ClockOverride>(now);
  }
  Date now() const { return now_; }

 private:
  std::unique_ptr<icu::TimeZone> savedZone_;
  icu::Locale savedLocale_;
  std::unique_ptr<ClockOverride> clock_;
  Date now_;
};

}  // namespace qby::test
