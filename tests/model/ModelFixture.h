// A store in a temporary file, a main-queue context on it, and a pinned clock, time zone and
// locale, so the date rules of the records give the same answers on every machine.
#pragma once

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <memory>
#include <optional>
#include <string>

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/QBYModel.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Date.h"
#include "store/core/QBYManagedObjectContext.h"
#include "store/core/QBYPersistentStore.h"
#include "support/TestSupport.h"

namespace qby::test {

// 1 March 2021 12:00 UTC.
inline constexpr double kNow = 1614600000;

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    clock_ = std::make_unique<ClockOverride>(Date(kNow));
    QBYError error;
    store_ = QBYPersistentStore::open(home() / "t.sqlite", QBYPorvaneModel(), &error);
    ASSERT_TRUE(store_) << error.description();
    context_ = std::make_unique<QBYManagedObjectContext>(store_, QBYConcurrencyType::MainQueue);
  }

  void TearDown() override {
    context_.reset();
    store_.reset();
    clock_.reset();
  }

  std::shared_ptr<Delivery> makeDelivery() { return context_->insert<Delivery>("Delivery"); }

  std::shared_ptr<Detail> addDetail(const std::shared_ptr<Delivery>& delivery, int index) {
    auto detail = context_->insert<Detail>("Detail");
    detail->setIndex(index);
    delivery->addDetail(detail);
    return detail;
  }

  std::shared_ptr<Service> makeService(const std::string& from, const std::string& shortName) {
    auto service = context_->insert<Service>("Service");
    service->setFrom(from);
    service->setName(shortName);
    service->setShortName(shortName);
    return service;
  }

  std::shared_ptr<Setting> addSetting(const std::shared_ptr<Service>& service,
                                      const std::string& type, const std::string& name) {
    auto setting = context_->insert<Setting>("Setting");
    setting->setType(type);
    setting->setName(name);
    service->addSetting(setting);
    return setting;
  }

  static Date daysFromNow(double days) { return Date(kNow + days * 86400); }

  std::unique_ptr<ClockOverride> clock_;
  std::shared_ptr<QBYPersistentStore> store_;
  std::unique_ptr<QBYManagedObjectContext> context_;
};

}  // namespace qby::test
