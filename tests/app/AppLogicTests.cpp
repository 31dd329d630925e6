// The main application's decisions that need no window: what an address asks for, which
// commands a delivery offers, the Delete confirmation, which drops the list takes, and the
// export file name.
#include <gtest/gtest.h>

#include <string>

#include "ModelFixture.h"
#include "QBYDeliveryCommands.h"
#include "QBYURLCommand.h"

namespace {

using porvane::app::QBYURLCommand;
using Kind = QBYURLCommand::Kind;

TEST(URLCommandTest, QueryLengthLimitCountsCharactersAndRefusesTheWholeAddress) {
  const std::string base = "porvane://add?no=";
  // "no=" plus padding: exactly 3000 characters of query, then one more.
  const std::string atLimit = base + std::string(3000 - 3, '7');
  const std::string overLimit = base + std::string(3000 - 2, '7');
  EXPECT_TRUE(QBYURLCommand::parse(atLimit).handled());
  EXPECT_EQ(QBYURLCommand::parse(overLimit).kind, Kind::NotHandled);
  // Another scheme is refused the same way, not handed to the add window.
  EXPECT_EQ(QBYURLCommand::parse("https://example.com/?" + std::string(3001, 'a')).kind,
            Kind::NotHandled);
  EXPECT_EQ(QBYURLCommand::parse("https://example.com/?" + std::string(3000, 'a')).kind,
            Kind::OpenAddWindow);
}

TEST(URLCommandTest, NoAddressOrTextThatIsNoAddressIsNotHandled) {
  EXPECT_FALSE(QBYURLCommand::parse("").handled());
  EXPECT_FALSE(QBYURLCommand::parse("not an address").handled());
  EXPECT_FALSE(QBYURLCommand::parse("relative/path").handled());
}

TEST(URLCommandTest, AddWithQuerySavesAsALinkAndWithoutQueryOpensTheAddWindow) {
  const auto add =
      QBYURLCommand::parse("porvane://add?from=www.ups.com&no=1Z999AA10123456784&name=Shoes%20x");
  ASSERT_EQ(add.kind, Kind::AddDelivery);
  ASSERT_TRUE(add.settings);
  EXPECT_EQ(add.settings->from, "www.ups.com");
  EXPECT_EQ(add.settings->no, "1Z999AA10123456784");
  EXPECT_EQ(add.settings->name, "Shoes x");
  EXPECT_EQ(add.settings->shouldPresent, qby::QBYDeliverySettings::PresentFromLink);
  EXPECT_TRUE(add.opensOtherWindow());

  const auto path = QBYURLCommand::parse("porvane://add/1Z999AA10123456784");
  EXPECT_EQ(path.kind, Kind::OpenAddWindow);
  EXPECT_EQ(path.searchText, "1Z999AA10123456784");

  // A query without a single key=value part yields no dictionary: an empty add window.
  const auto empty = QBYURLCommand::parse("porvane://add?justtext");
  EXPECT_EQ(empty.kind, Kind::OpenAddWindow);
  EXPECT_EQ(empty.searchText, "");
}

TEST(URLCommandTest, OtherSchemesGoToTheAddWindowWithTheWholeAddress) {
  const std::string link = "https://www.ups.com/track?tracknum=1Z999AA10123456784#top";
  const auto command = QBYURLCommand::parse(link);
  EXPECT_EQ(command.kind, Kind::OpenAddWindow);
  EXPECT_EQ(command.searchText, link);
}

TEST(URLCommandTest, HostsAndPathsOfTheOwnScheme) {
  EXPECT_EQ(QBYURLCommand::parse("PORVANE://Search?text=shoes").searchText, "shoes");
  EXPECT_EQ(QBYURLCommand::parse("porvane://search/boots").searchText, "boots");

  const auto show = QBYURLCommand::parse("porvane://show/ABC123DEF4567890");
  EXPECT_EQ(show.kind, Kind::ShowDelivery);
  EXPECT_EQ(show.uuid, "ABC123DEF4567890");
  EXPECT_FALSE(show.opensOtherWindow());
  EXPECT_EQ(QBYURLCommand::parse("porvane://show").kind, Kind::Ignored);

  const std::string uuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  const auto edit = QBYURLCommand::parse("porvane://edit/" + uuid);
  EXPECT_EQ(edit.kind, Kind::EditDelivery);
  EXPECT_EQ(edit.uuid, uuid);
  EXPECT_EQ(QBYURLCommand::parse("porvane://edit/not-a-uuid!").kind, Kind::Ignored);

  EXPECT_EQ(QBYURLCommand::parse("porvane://settings/logs").pane, "logs");
  EXPECT_EQ(QBYURLCommand::parse("porvane://settings/Shortcuts").pane, "shortcuts");
  const auto unknownPane = QBYURLCommand::parse("porvane://settings/colours");
  EXPECT_EQ(unknownPane.kind, Kind::OpenSettings);
  EXPECT_EQ(unknownPane.pane, "");

  EXPECT_EQ(QBYURLCommand::parse("porvane://troubleshoot/database").kind, Kind::RepairDatabase);
  EXPECT_EQ(QBYURLCommand::parse("porvane://troubleshoot/cookies").kind, Kind::ClearCookies);
  EXPECT_EQ(QBYURLCommand::parse("porvane://troubleshoot/other").kind, Kind::Ignored);
  EXPECT_EQ(QBYURLCommand::parse("porvane://logs").kind, Kind::EnableLogs);
  EXPECT_EQ(QBYURLCommand::parse("porvane://beta").kind, Kind::DownloadBeta);
  EXPECT_EQ(QBYURLCommand::parse("porvane://icloudreset").kind, Kind::ICloudReset);
  // Our scheme with an unknown host is still ours: handled, nothing done.
  const auto unknown = QBYURLCommand::parse("porvane://frobnicate");
  EXPECT_TRUE(unknown.handled());
  EXPECT_EQ(unknown.kind, Kind::Ignored);
}

class DeliveryCommandsTest : public qby::test::ModelTest {
 protected:
  static std::vector<std::string> actions(const std::vector<porvane::app::QBYDeliveryCommand>& c) {
    std::vector<std::string> names;
    for (const auto& command : c) names.push_back(command.action);
    return names;
  }
};

TEST_F(DeliveryCommandsTest, MenusFollowTheDeliveryState) {
  using porvane::app::QBYMenuPlace;
  auto active = makeDelivery();
  active->setFrom(std::string("www.ups.com"));
  active->setName(std::string("Shoes"));
  using V = std::vector<std::string>;
  EXPECT_EQ(actions(commandsForDelivery(*active, QBYMenuPlace::PrimaryMenu, true, "Web")),
            (V{"open-online", "edit", "refresh", "refresh-all", "archive", "delete"}));
  EXPECT_EQ(actions(commandsForDelivery(*active, QBYMenuPlace::ContextMenu, false, "Web")),
            (V{"open-online", "edit", "refresh", "archive", "delete", "copy", "export", "print"}));
  EXPECT_EQ(actions(commandsForDelivery(*active, QBYMenuPlace::ContextMenu, true, "Web")),
            (V{"open-online", "edit", "refresh", "archive", "delete", "sign-in", "troubleshoot",
               "copy", "export", "print"}));
  EXPECT_EQ(commandsForDelivery(*active, QBYMenuPlace::ContextMenu, false, "Web").front().label,
            "Open in Web");

  addDetail(active, 0);
  EXPECT_EQ(actions(commandsForDelivery(*active, QBYMenuPlace::PrimaryMenu, false, "Web"))[1],
            "edit");
  addDetail(active, 1);
  EXPECT_EQ(actions(commandsForDelivery(*active, QBYMenuPlace::PrimaryMenu, false, "Web"))[1],
            "show-package");

  auto archived = makeDelivery();
  archived->setArchived(true);
  EXPECT_EQ(actions(commandsForDelivery(*archived, QBYMenuPlace::ContextMenu, true, "Web")),
            (V{"open-online", "edit", "restore", "delete", "copy", "export", "print"}));

  auto page = makeDelivery();
  page->setFrom(std::string("other"));
  const auto pageCommands =
      actions(commandsForDelivery(*page, QBYMenuPlace::ContextMenu, true, "W"));
  EXPECT_EQ(std::count(pageCommands.begin(), pageCommands.end(), "sign-in"), 0);
}

TEST_F(DeliveryCommandsTest, SignInNeedsAServiceKeyThatNamesAHost) {
  using porvane::app::QBYMenuPlace;
  auto shop = makeDelivery();
  shop->setFrom(std::string("www.amazon.de/url"));
  EXPECT_TRUE(porvane::app::deliveryOffersSignIn(*shop));
  EXPECT_TRUE(porvane::app::deliveryCanBeTroubleshot(*shop));

  // A key that names no host has no page to sign in on, but can still be diagnosed.
  auto odd = makeDelivery();
  odd->setFrom(std::string("bad host:1"));
  EXPECT_FALSE(porvane::app::deliveryOffersSignIn(*odd));
  EXPECT_TRUE(porvane::app::deliveryCanBeTroubleshot(*odd));
  const auto commands = actions(commandsForDelivery(*odd, QBYMenuPlace::ContextMenu, true, "W"));
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "sign-in"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "troubleshoot"), 1);

  shop->setArchived(true);
  EXPECT_FALSE(porvane::app::deliveryOffersSignIn(*shop));
  EXPECT_FALSE(porvane::app::deliveryCanBeTroubleshot(*shop));
}

TEST_F(DeliveryCommandsTest, DeleteConfirmationOffersArchiveOnlyForActiveDeliveries) {
  auto delivery = makeDelivery();
  delivery->setName(std::string("A very long delivery title that goes on and on"));
  delivery->setHistoryTitle(delivery->name());
  auto active = porvane::app::deleteConfirmationForDelivery(*delivery);
  EXPECT_EQ(active.heading, "Delete “" + delivery->titleLimitedToLength(30) + "”?");
  EXPECT_NE(active.heading.find("A very long"), std::string::npos);
  EXPECT_EQ(active.heading.find("and on"), std::string::npos);
  ASSERT_EQ(active.responses.size(), 3u);
  EXPECT_EQ(active.responses[1].first, "archive");
  EXPECT_NE(active.body.find("choose Archive instead"), std::string::npos);

  delivery->setArchived(true);
  auto archived = porvane::app::deleteConfirmationForDelivery(*delivery);
  ASSERT_EQ(archived.responses.size(), 2u);
  EXPECT_EQ(archived.responses[0].first, "delete");
  EXPECT_EQ(archived.responses[1].first, "cancel");
  EXPECT_EQ(archived.body, "You won’t be able to undo this action.");
}

TEST(DropTest, OnlyAddressesAndFilesAreAccepted) {
  using porvane::app::acceptedDropURIs;
  EXPECT_TRUE(acceptedDropURIs({}, std::string("hello world")).empty());
  EXPECT_TRUE(acceptedDropURIs({}, std::string("track 1Z999AA10123456784 please")).empty());
  EXPECT_TRUE(acceptedDropURIs({}, std::string("see https://www.ups.com/track")).empty());
  EXPECT_TRUE(acceptedDropURIs({}, std::nullopt).empty());
  EXPECT_TRUE(acceptedDropURIs({"mailto:someone@example.com"}, std::nullopt).empty());
  EXPECT_EQ(acceptedDropURIs({}, std::string("  https://www.ups.com/track?n=1\n")),
            (std::vector<std::string>{"https://www.ups.com/track?n=1"}));
  EXPECT_EQ(acceptedDropURIs({"file:///tmp/a.porvane", "mailto:x@y", "http://example.com/x"},
                             std::nullopt),
            (std::vector<std::string>{"file:///tmp/a.porvane", "http://example.com/x"}));
}

TEST_F(DeliveryCommandsTest, ExportFileNamesStayInsideTheChosenFolder) {
  auto delivery = makeDelivery();
  delivery->setName(std::string("../../etc/passwd"));
  delivery->setHistoryTitle(delivery->name());
  const std::string name = porvane::app::exportFileNameForDelivery(*delivery, "txt");
  EXPECT_EQ(name.find('/'), std::string::npos);
  EXPECT_NE(name.front(), '.');
  EXPECT_EQ(name.substr(name.size() - 4), ".txt");
  delivery->setName(std::string("A title well beyond thirty-two characters in length"));
  delivery->setHistoryTitle(delivery->name());
  EXPECT_EQ(porvane::app::exportFileNameForDelivery(*delivery, "txt"),
            delivery->titleLimitedToLength(32) + ".txt");
}

}  // namespace
