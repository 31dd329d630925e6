// The shared helpers of the tracking scripts where carriers' odd values can break them, and the
// consistency of the services and styles lists with the service keys the modules register.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "CarrierHarness.h"
#include "platform/Value.h"
#include "util/QBYRegions.h"

namespace qby::test {
namespace {

class ScriptHelpers : public testing::Test {
 protected:
  static void SetUpTestSuite() { useCarrierTestEnvironment(); }
  static std::string js(const std::string& code) { return evaluateWithTrackingScripts(code); }
};

TEST_F(ScriptHelpers, IsoDayKeepsTheDayAsWrittenAndRejectsImpossibleDays) {
  // Offsets are not applied: the carrier's local day is the day.
  EXPECT_EQ(js("return Q.isoDay('2024-03-05T23:30:00-05:00')"), "\"2024-03-05\"");
  EXPECT_EQ(js("return Q.isoDay('2024-03-05T00:10:00+14:00')"), "\"2024-03-05\"");
  EXPECT_EQ(js("return Q.isoDay('20240305')"), "\"2024-03-05\"");
  EXPECT_EQ(js("return [Q.isoDay('05/03/2024'), Q.isoDay('05/03/2024', 'mdy')]"),
            "[\"2024-03-05\",\"2024-05-03\"]");
  EXPECT_EQ(js("return Q.isoDay('5.3.24')"), "\"2024-03-05\"");
  EXPECT_EQ(js("return Q.isoDay('2024/3/5')"), "\"2024-03-05\"");
  // Leap years, and days that do not exist.
  EXPECT_EQ(js("return Q.isoDay('2024-02-29')"), "\"2024-02-29\"");
  EXPECT_EQ(js("return [Q.isoDay('2023-02-29'), Q.isoDay('2024-13-01'), Q.isoDay('2024-04-31')]"),
            "[null,null,null]");
  EXPECT_EQ(js("return [Q.isoDay(''), Q.isoDay(null), Q.isoDay('soon'), Q.isoDay({}), "
               "Q.isoDay(new Date('garbage')), Q.isoDay('202403051')]"),
            "[null,null,null,null,null,null]");
}

TEST_F(ScriptHelpers, DatesFromTheClockUseTheLocalDay) {
  // 11:30 UTC is a quarter past midnight of the next day in the test's time zone.
  EXPECT_EQ(js("return Q.isoDay(new Date(Date.UTC(2024, 3, 15, 11, 30)))"), "\"2024-04-16\"");
  EXPECT_EQ(js("return Q.isoDateTime(new Date(Date.UTC(2024, 3, 15, 11, 30, 5)))"),
            "\"2024-04-16T00:15:05\"");
  // The harness's fixed clock.
  EXPECT_EQ(js("return Q.isoDay(Q.now())"), "\"2024-04-15\"");
}

TEST_F(ScriptHelpers, LocalDaysStayRightWhateverDayWasReadBefore) {
  // Times every 7 minutes across three days around both of the test zone's clock changes in
  // 2024 and a plain new year, each read just after the time before it, a time of another day
  // and a time of the same day, against the day read straight from the date.
  EXPECT_EQ(js(R"JS(
    function straight(date) {
      return date.getFullYear() + '-' + ('0' + (date.getMonth() + 1)).slice(-2) + '-' +
          ('0' + date.getDate()).slice(-2);
    }
    var wrong = [];
    [Date.UTC(2024, 3, 6, 12), Date.UTC(2024, 8, 28, 12), Date.UTC(2023, 11, 31, 12)]
        .forEach(function(middle) {
          for (var minute = -36 * 60; minute <= 36 * 60; minute += 7) {
            var time = middle + minute * 60000;
            [time - 7 * 60000, time - 86400000, time + 60000, time].forEach(function(other) {
              Q.isoDay(new Date(other));
              var day = Q.isoDay(new Date(time));
              if (day !== straight(new Date(time))) wrong.push(new Date(time).toISOString());
            });
          }
        });
    return wrong.slice(0, 5);
  )JS"),
            "[]");
}

TEST_F(ScriptHelpers, IsoDateTimeDropsOffsetsAndReadsSeparateTimes) {
  EXPECT_EQ(js("return Q.isoDateTime('2024-03-05T10:22:00-05:00')"), "\"2024-03-05T10:22:00\"");
  EXPECT_EQ(js("return Q.isoDateTime('2024-03-05T10:22:00.123Z')"), "\"2024-03-05T10:22:00\"");
  EXPECT_EQ(js("return Q.isoDateTime('2024-03-05 7:05')"), "\"2024-03-05T07:05:00\"");
  EXPECT_EQ(js("return [Q.isoDateTime('18.03.2016 10:02'), Q.isoDateTime('20160318T100205')]"),
            "[\"2016-03-18T10:02:00\",\"2016-03-18T10:02:05\"]");
  EXPECT_EQ(js("return Q.isoDateTime('20240410', '071356')"), "\"2024-04-10T07:13:56\"");
  EXPECT_EQ(js("return [Q.isoDateTime('20240410', '12:05 am'), "
               "Q.isoDateTime('20240410', '12:05 pm'), Q.isoDateTime('20240410', '1:05 p.m.')]"),
            "[\"2024-04-10T00:05:00\",\"2024-04-10T12:05:00\",\"2024-04-10T13:05:00\"]");
  // A day without a readable time still gives a line at midnight; no day gives nothing.
  // The digits of a day alone are no time ("20240410" is not 20:24:04).
  EXPECT_EQ(js("return [Q.isoDateTime('2024-04-10'), Q.isoDateTime('20240410'), "
               "Q.isoDateTime('20240410', '25:00'), Q.isoDateTime('never', '10:00')]"),
            "[\"2024-04-10T00:00:00\",\"2024-04-10T00:00:00\",\"2024-04-10T00:00:00\",null]");
}

TEST_F(ScriptHelpers, JsonNeverThrows) {
  EXPECT_EQ(js("return Q.json('{\"a\": [1, 2]}')"), "{\"a\":[1,2]}");
  EXPECT_EQ(js("return [Q.json('{\"a\": [1, 2'), Q.json('<html></html>'), Q.json(''), "
               "Q.json(undefined), Q.json(42)]"),
            "[null,null,null,null,null]");
  EXPECT_EQ(js("return Q.get({a: [{b: 1}]}, 'a', 0, 'b')"), "1");
  EXPECT_EQ(js("return [Q.get(undefined, 'a'), Q.get({a: null}, 'a', 'b'), Q.get({a: 'x'}, 'b')]"),
            "[null,null,null]");
}

TEST_F(ScriptHelpers, TextOfHtmlDropsCodeAndDecodesEntities) {
  EXPECT_EQ(js("return Q.text('<p>Paket&nbsp;zugestellt</p><script>if (a < b) x()</script>"
               "<style>p{}</style><!-- c --><div>M&uuml;nchen &amp; Co &#8211; &#x41;</div>')"),
            "\"Paket zugestellt München & Co – A\"");
  EXPECT_EQ(js("return Q.text('a<br>b')"), "\"a b\"");
  // Unknown and broken entities stay as written; impossible code points become U+FFFD.
  EXPECT_EQ(js("return Q.text('&bogus; &#xD800; &#99999999; &amp')"),
            "\"&bogus; \uFFFD \uFFFD &amp\"");
}

TEST_F(ScriptHelpers, FormAndQueryEncodeEveryValue) {
  EXPECT_EQ(js("return Q.form({a: 'x y', b: 'ä&=', c: undefined, d: null, e: [1, 2]})"),
            "\"a=x+y&b=%C3%A4%26%3D&e=1&e=2\"");
  EXPECT_EQ(js("return Q.query({q: 'x y/z'})"), "\"q=x%20y%2Fz\"");
  EXPECT_EQ(js("return [Q.form(undefined), Q.form('text')]"), "[\"\",\"\"]");
}

TEST_F(ScriptHelpers, LoggedAddressesHideKeysInTheQuery) {
  EXPECT_EQ(js("return Q.hideSecrets('https://api2.postnord.com/t.json?apikey=s3cr3t&id=1')"),
            "\"https://api2.postnord.com/t.json?apikey=(hidden)&id=1\"");
  EXPECT_EQ(js("return Q.hideSecrets('http://x/?monkey=1&Token=2#key=3')"),
            "\"http://x/?monkey=1&Token=(hidden)#key=3\"");
}

TEST_F(ScriptHelpers, Base64AndHashHandleAnyText) {
  EXPECT_EQ(js("return [Q.base64(''), Q.base64('f'), Q.base64('fo'), Q.base64('foo'), "
               "Q.base64('ü:ß')]"),
            "[\"\",\"Zg==\",\"Zm8=\",\"Zm9v\",\"w7w6w58=\"]");
  // FNV-1a reference values.
  EXPECT_EQ(js("return [Q.hash(''), Q.hash('a')]"), "[\"811c9dc5\",\"e40c292c\"]");
  // A lone surrogate (a character cut in half) must not throw.
  EXPECT_EQ(js("return Q.hash('x\\uD800y') === Q.hash('x\\uFFFDy')"), "true");
  EXPECT_EQ(js("return Q.base64('\\uDC00')"), "\"77+9\"");
}

TEST_F(ScriptHelpers, ItemsAndResultsLeaveOutMissingValues) {
  EXPECT_EQ(js("return Q.item({itemName: 'A', icon: undefined, dateString: null, n: NaN, "
               "shippedText: ''})"),
            "{\"itemName\":\"A\",\"shippedText\":\"\"}");
  EXPECT_EQ(js("return Q.results(2, {url: undefined, interval: 60})"),
            "{\"interval\":60,\"status\":2}");
  EXPECT_EQ(js("return [Q.interval('delivered'), Q.interval('no such state') === "
               "Q.interval('error')]"),
            "[1440,true]");
}

TEST_F(ScriptHelpers, SmallTextHelpers) {
  EXPECT_EQ(js("return [Q.capitalize('NEW YORK-CITY'), Q.capitalize('McAllen'), "
               "Q.join(' a ', '', null, 'b')]"),
            "[\"New York-City\",\"McAllen\",\"a, b\"]");
  EXPECT_EQ(js("return [Q.format('%@ of %@', 1), Q.format('x')]"), "[\"1 of %@\",\"x\"]");
  EXPECT_EQ(js("return [Q.isURL('https://a.example/x?y#z'), Q.isURL('http://127.0.0.1:8080/'), "
               "Q.isURL('a.example'), Q.isURL('javascript:alert(1)'), Q.isURL('https://a b.c')]"),
            "[true,true,false,false,false]");
}

// ---- Q.tableRows: carriers' tables as browsers read them

TEST_F(ScriptHelpers, TableRowsReadCellTextsAndKeepEmptyCellsInPlace) {
  // Header cells and rows made only of them are left out; the rest keep their positions.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><thead><tr><th>Date</th><th>Event</th></tr></thead>' +
                   '<tbody><tr><td>14.03.2024</td><td></td><td> <b>M&uuml;nchen</b> &amp; ' +
                   '<a href="#">Co</a>&nbsp;</td></tr><tr><td><br></td><td>&#x41;&lt;B</td>' +
                   '</tr></tbody></table>'))"),
            R"([["14.03.2024","","München & Co"],["","A<B"]])");
  // A spanning cell counts once; its attributes reach the read function.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td colspan="2">wide</td><td>x</td></tr>' +
                   '<tr><TD Class="a">y</TD></tr></table>',
                   function(html, attributes) { return attributes + '|' + html; }))"),
            R"([[" colspan=\"2\"|wide","|x"],[" Class=\"a\"|y"]])");
  EXPECT_EQ(js("return [Q.tableRows(undefined), Q.tableRows(''), Q.tableRows('no table here'), "
               "Q.tableRows(42), Q.tableRows('<table></table>')]"),
            "[[],[],[],[],[]]");
}

TEST_F(ScriptHelpers, TableRowsKeepANestedTableInsideItsCell) {
  // A pattern that stops at the first closing tag would end the outer row inside the cell and
  // turn the inner rows into scans.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td>outer <table><tr><td>in 1</td></tr>' +
                   '<tr><td>in 2</td></tr></table> tail</td><td>next</td></tr>' +
                   '<tr><td>second</td></tr></table>'))"),
            R"([["outer in 1 in 2 tail","next"],["second"]])");
  // Tables nested twice, and a stray table between the rows, which is no row of its own.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td><table><tr><td><table><tr><td>deep' +
                   '</td></tr></table></td></tr></table></td></tr><table><tr><td>stray</td>' +
                   '</tr></table><tr><td>last</td></tr></table>'))"),
            R"([["deep"],["last"]])");
  // A read function may read the inner table itself.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td><table><tr><td>a</td><td>b</td></tr>' +
                   '</table></td><td>c</td></tr></table>',
                   function(html) { return Q.tableRows(html); }))"),
            R"([[[["a","b"]],[]]])");
}

TEST_F(ScriptHelpers, TableRowsCloseWhatThePageLeavesOpen) {
  // HTML lets cells and rows go unclosed: the next cell or row ends them, and so does the
  // end of a body or of the table.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td>a<td>b<tr><td>c</tbody><tbody><tr>' +
                   '<td>d<td>e</table>'))"),
            R"([["a","b"],["c"],["d","e"]])");
  // A cell opened without a row starts one; a page cut short keeps what it showed.
  EXPECT_EQ(js("return Q.tableRows('<table><td>x</td><tr><td>y<td>cut sh')"),
            R"([["x"],["y","cut sh"]])");
}

TEST_F(ScriptHelpers, TableRowsReadOnlyTheTableTheyBeginIn) {
  // Begun after the table's id, as a module finds it; the next table is not read.
  EXPECT_EQ(js(R"(return Q.tableRows(' id="scans"><caption>Scans</caption><tr><td>1</td></tr>' +
                   '</table><p>between</p><table><tr><td>other</td></tr></table>'))"),
            R"([["1"]])");
  // Given a page, the first table.
  EXPECT_EQ(js(R"(return Q.tableRows('<p>x</p><table><tr><td>first</td></tr></table>' +
                   '<table><tr><td>second</td></tr></table>'))"),
            R"([["first"]])");
  // Tags inside comments, scripts and styles are no cells.
  EXPECT_EQ(js(R"(return Q.tableRows('<table><tr><td>a</td><!-- <td>old</td></tr> -->' +
                   '<td>b<script>var t = "<td>x</td></table>";</script></td>' +
                   '<style>td:after{content:"</tr>"}</style><td>c</td></tr></table>'))"),
            R"([["a","b","c"]])");
}

// ---- the lists

std::optional<Value> readPlist(const std::string& name) {
  std::ifstream in(std::filesystem::path(PORVANE_SCRIPTS_SOURCE_DIR) / ".." / "lists" / name,
                   std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return Value::fromPlist(bytes.str());
}

std::set<std::string> registeredServiceKeys() {
  const std::string answer = evaluateWithTrackingScripts("return Object.keys(Tracking.services)");
  std::set<std::string> keys;
  std::string::size_type start = 0;
  while ((start = answer.find('"', start)) != std::string::npos) {
    const auto end = answer.find('"', start + 1);
    if (end == std::string::npos) break;
    keys.insert(answer.substr(start + 1, end - start - 1));
    start = end + 1;
  }
  return keys;
}

TEST(ServiceLists, EveryServiceHasTheKeysTheImportReads) {
  const auto services = readPlist("Services.plist");
  const auto styles = readPlist("Styles.plist");
  ASSERT_TRUE(services && services->arrayPtr());
  ASSERT_TRUE(styles && styles->dictionaryPtr());

  std::set<std::string> keys;
  for (const auto& entry : *services->arrayPtr()) {
    const auto from = entry["from"].asString();
    ASSERT_TRUE(from) << entry.description();
    EXPECT_TRUE(keys.insert(*from).second) << "Listed twice: " << *from;
    EXPECT_TRUE(entry["name"].asString() && entry["shortName"].asString()) << *from;
    EXPECT_TRUE(entry["keywords"].asString()) << *from;
    const auto style = entry["style"].asString();
    ASSERT_TRUE(style) << *from;
    EXPECT_TRUE(styles->dictionaryPtr()->contains(*style)) << *from << " style " << *style;
    if (const auto regions = entry["default-regions"].asString(); regions && !regions->empty()) {
      // Country codes as the locale gives them: two upper-case letters, comma-separated.
      std::stringstream list(*regions);
      for (std::string code; std::getline(list, code, ',');)
        EXPECT_TRUE(code.size() == 2 && std::isupper(code[0]) && std::isupper(code[1]))
            << *from << " region " << code;
    }
    const auto* settings = entry["settings"].arrayPtr();
    ASSERT_TRUE(settings && !settings->empty()) << *from;
    bool hasRequired = false;
    for (const auto& field : *settings) {
      EXPECT_TRUE(field["inputType"].asString() && field["type"].asString() &&
                  field["name"].asString() && field["required"].isBool())
          << *from << ": " << field.description();
      hasRequired = hasRequired || field["required"].asBool() == true;
    }
    EXPECT_TRUE(hasRequired) << *from << " asks for nothing";
  }

  for (const auto key : serviceKeysWithRegion())
    EXPECT_TRUE(keys.count(std::string(key))) << "Not listed: " << key;
  for (const auto* key : {"www.ups.com", "www.fedex.com", "www.dhl.com", ServiceKey::Other})
    EXPECT_TRUE(keys.count(key)) << "Not listed: " << key;

  for (const auto& [name, colours] : *styles->dictionaryPtr()) {
    for (const auto* colour : {"backgroundColor", "iconAccentColor", "iconColor", "spinnerColor",
                               "smallTextColor", "largeTextColor"}) {
      const auto text = colours[colour].asString();
      ASSERT_TRUE(text) << name << " lacks " << colour;
      EXPECT_EQ(text->size(), 9u) << name << " " << colour;
      EXPECT_EQ(text->find_first_not_of("#0123456789ABCDEFabcdef"), std::string::npos)
          << name << " " << colour;
    }
  }
}

TEST(ServiceLists, EveryTrackingModuleIsListed) {
  useCarrierTestEnvironment();
  const auto services = readPlist("Services.plist");
  ASSERT_TRUE(services && services->arrayPtr());
  std::set<std::string> listed;
  for (const auto& entry : *services->arrayPtr())
    if (auto from = entry["from"].asString()) listed.insert(*from);
  const auto registered = registeredServiceKeys();
  EXPECT_GE(registered.size(), 5u);
  for (const auto& key : registered) EXPECT_TRUE(listed.count(key)) << "Not listed: " << key;
}

}  // namespace
}  // namespace qby::test
