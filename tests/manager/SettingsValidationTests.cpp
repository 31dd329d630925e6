// Settings checked against a service's required fields, and the messages that name the
// missing ones: one, two and three or more fields, the keys array, the unknown service,
// passwords only when asked for, and blank values.
#include "manager/QBYSettingsValidation.h"

#include <gtest/gtest.h>

#include "model/QBYDeliverySettings.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

class SettingsValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_unique<QBYDataStore>(makeTempDir("validation") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
  }

  struct Field {
    const char* type;
    const char* name;
    bool required;
  };
  std::shared_ptr<Service> service(const std::vector<Field>& fields) {
    auto& context = *store->viewContext();
    auto record = context.insert<Service>("Service");
    record->setFrom("parcel.example");
    for (const auto& field : fields) {
      auto s = context.insert<Setting>("Setting");
      s->setType(std::string(field.type));
      if (field.name) s->setName(std::string(field.name));
      s->setRequired(field.required);
      s->setService(record);
    }
    return record;
  }

  static QBYDeliverySettings settings(std::optional<std::string> no,
                                      std::optional<std::string> extra = std::nullopt) {
    QBYDeliverySettings result;
    result.from = "parcel.example";
    result.no = std::move(no);
    result.extra = std::move(extra);
    return result;
  }

  static Array keysOf(const QBYError& error) {
    const Value* keys = error.userInfo.find(QBYDeliveriesMissingFields);
    return keys && keys->arrayPtr() ? *keys->arrayPtr() : Array{};
  }

  std::unique_ptr<QBYDataStore> store;
};

TEST(ValidationMessageTest, OneTwoAndThreeOrMoreFields) {
  EXPECT_FALSE(validationErrorForFields({}, std::vector<std::string>{"no"}));

  auto one = validationErrorForFields({"Tracking number"}, std::vector<std::string>{"no"});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->domain, "com.quillbay.porvane");
  EXPECT_EQ(one->code, 100);
  EXPECT_EQ(one->localizedDescription, "Tracking number is required.");
  EXPECT_EQ(one->userInfo[QBYDeliveriesErrorDescriptionKey], Value("Tracking number is required."));
  EXPECT_EQ(one->userInfo[QBYDeliveriesMissingFields], Value(Array{Value("no")}));

  auto two = validationErrorForFields({"Tracking number", "Postcode"},
                                      std::vector<std::string>{"no", "extra"});
  ASSERT_TRUE(two);
  EXPECT_EQ(two->localizedDescription, "Tracking number and Postcode are required.");
  EXPECT_EQ(two->userInfo[QBYDeliveriesMissingFields], Value(Array{Value("no"), Value("extra")}));

  // Past three, only the first three are named; the keys array is carried whole.
  auto four = validationErrorForFields({"A", "B", "C", "D"},
                                       std::vector<std::string>{"no", "extra", "date", "name"});
  ASSERT_TRUE(four);
  EXPECT_EQ(four->localizedDescription, "A, B, and C are required.");
  EXPECT_EQ(four->userInfo[QBYDeliveriesMissingFields].arrayPtr()->size(), 4u);

  // Without keys there is no keys entry at all.
  auto bare = validationErrorForFields({"A"});
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->userInfo.contains(QBYDeliveriesMissingFields));
  // A name that looks like a format is a name, not a format.
  EXPECT_EQ(validationErrorForFields({"%@ %d"})->localizedDescription, "%@ %d is required.");
}

TEST_F(SettingsValidationTest, UnknownServiceIsReportedAsTheMissingFrom) {
  QBYError error;
  EXPECT_FALSE(validateSettings(settings("123"), nullptr, false, &error));
  EXPECT_EQ(error.localizedDescription, "From is required.");
  EXPECT_EQ(keysOf(error), (Array{Value("from")}));
  // No error out-parameter: still a clean NO.
  EXPECT_FALSE(validateSettings(settings("123"), nullptr, false, nullptr));
}

TEST_F(SettingsValidationTest, MissingFieldsInTheServicesOrder) {
  auto parcel = service({{"extra", "Postcode", true},
                         {"name", "Name", false},
                         {"no", "Tracking number", true},
                         {"date", "Ship date", true}});
  store->saveData();  // the order must survive the round trip through the file

  QBYError error;
  EXPECT_FALSE(
      validateSettings(settings(std::nullopt, std::string("  \n\t")), parcel, false, &error));
  EXPECT_EQ(error.localizedDescription, "Postcode, Tracking number, and Ship date are required.");
  EXPECT_EQ(keysOf(error), (Array{Value("extra"), Value("no"), Value("date")}));

  auto two = settings(std::nullopt, std::string("12345"));
  EXPECT_FALSE(validateSettings(two, parcel, false, &error));
  EXPECT_EQ(error.localizedDescription, "Tracking number and Ship date are required.");
  EXPECT_EQ(keysOf(error), (Array{Value("no"), Value("date")}));

  auto filled = settings(std::string("1Z999"), std::string("12345"));
  filled.date = "2021-03-01";
  error = QBYError{};
  EXPECT_TRUE(validateSettings(filled, parcel, false, &error));
  EXPECT_EQ(error.code, 0);  // untouched on success
}

TEST_F(SettingsValidationTest, PasswordCountsOnlyWhenChecked) {
  auto locked = service({{"no", "Order", true}, {"password", "Password", true}});
  auto entered = settings(std::string("123"));
  EXPECT_TRUE(validateSettings(entered, locked, false));

  QBYError error;
  EXPECT_FALSE(validateSettings(entered, locked, true, &error));
  EXPECT_EQ(error.localizedDescription, "Password is required.");
  EXPECT_EQ(keysOf(error), (Array{Value("password")}));

  // A password is taken as typed: spaces are a password.
  entered.password = " ";
  EXPECT_TRUE(validateSettings(entered, locked, true));
  entered.password = "";
  EXPECT_FALSE(validateSettings(entered, locked, true));
}

TEST_F(SettingsValidationTest, UnnamedAndUntypedSettings) {
  // A required setting without a label is named after its type; one without a type is
  // ignored.
  auto odd = service({{"extra", nullptr, true}, {"", "Nothing", true}});
  QBYError error;
  EXPECT_FALSE(validateSettings(settings(std::string("1")), odd, false, &error));
  EXPECT_EQ(error.localizedDescription, "Extra is required.");
  EXPECT_TRUE(validateSettings(settings(std::string("1"), std::string("x")), odd, false));
  // A service without any settings accepts anything.
  EXPECT_TRUE(validateSettings(settings(std::nullopt), service({}), true));
}

}  // namespace
}  // namespace qby::test
