#include "NumberSamples.h"

#include <functional>
#include <iterator>
#include <utility>

namespace qby::test {

namespace {

int valueOf(char c) {
  return c >= '0' && c <= '9' ? c - '0' : (c - 'A' + 2) % 10;
}

char digitChar(int value) {
  return static_cast<char>('0' + value);
}

}  // namespace

// UPS: odd positions once, even positions twice; letters A=2, B=3, ... wrapping at 10.
char upsCheck(const std::string& data) {
  int sum = 0;
  for (std::size_t i = 0; i < data.size(); ++i) sum += valueOf(data[i]) * (i % 2 == 0 ? 1 : 2);
  return digitChar((10 - sum % 10) % 10);
}

char weighted10Check(const std::string& data, const std::vector<int>& weights) {
  int sum = 0;
  for (std::size_t i = 0; i < data.size(); ++i)
    sum += (data[i] - '0') * weights[i % weights.size()];
  return digitChar((10 - sum % 10) % 10);
}

char gs1Check(const std::string& data) {
  int sum = 0;
  int weight = 3;
  for (auto it = data.rbegin(); it != data.rend(); ++it, weight = weight == 3 ? 1 : 3)
    sum += (*it - '0') * weight;
  return digitChar((10 - sum % 10) % 10);
}

char weighted11Check(const std::string& data, const std::vector<int>& weights) {
  int sum = 0;
  for (std::size_t i = 0; i < data.size(); ++i)
    sum += (data[i] - '0') * weights[i % weights.size()];
  return digitChar(sum % 11 % 10);
}

char mod7Check(const std::string& data) {
  long long value = 0;
  for (char c : data) value = (value * 10 + (c - '0')) % 7;
  return digitChar(static_cast<int>(value));
}

char s10Check(const std::string& serial) {
  static const int weights[] = {8, 6, 4, 2, 3, 5, 9, 7};
  int sum = 0;
  for (int i = 0; i < 8; ++i) sum += (serial[static_cast<std::size_t>(i)] - '0') * weights[i];
  const int check = 11 - sum % 11;
  return digitChar(check == 10 ? 0 : check == 11 ? 5 : check);
}

// ISO 7064 MOD 37,36 over digits and capital letters.
char mod3736Check(const std::string& data) {
  static const char* alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  int product = 36;
  for (char c : data) {
    const int value = c <= '9' ? c - '0' : c - 'A' + 10;
    int sum = (product + value) % 36;
    if (sum == 0) sum = 36;
    product = sum * 2 % 37;
  }
  return alphabet[(37 - product) % 36];
}

std::string NumberSamples::digits(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += digitChar(below(10));
  return out;
}

std::string NumberSamples::letters(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += static_cast<char>('A' + below(26));
  return out;
}

std::vector<NumberSample> NumberSamples::valid(int count) {
  using Make = std::function<NumberSample()>;
  const auto withCheck = [](std::string data, char check, std::string key, std::string format) {
    return NumberSample{data + check, std::move(key), std::move(format)};
  };
  const auto plain = [](std::string number, std::string key, std::string format) {
    return NumberSample{std::move(number), std::move(key), std::move(format), false};
  };
  const std::vector<std::pair<std::string, std::string>> posts = {
      {"US", "www.usps.com"},          {"GB", "www.royalmail.com"},   {"CA", "www.canadapost.ca"},
      {"AU", "auspost.com.au"},        {"NL", "www.postnl.nl"},       {"DE", "www.dhl.de"},
      {"AT", "www.post.at"},           {"FR", "www.laposte.fr"},      {"IT", "www.poste.it"},
      {"JP", "www.post.japanpost.jp"}, {"HK", "www.hongkongpost.hk"}, {"NO", "www.posten.no"},
      {"SE", "www.posten.se"},         {"DK", "www.postdanmark.dk"},  {"CH", "www.post.ch"},
      {"ES", "www.correos.es"},        {"BE", "www.bpost.be"},        {"PT", "www.ctt.pt"},
      {"IE", "www.anpost.com"},        {"PL", "www.pocztapolska.pl"}, {"FI", "www.posti.fi"},
      {"EE", "www.omniva.ee"},         {"KR", "www.epost.go.kr"},     {"SG", "www.singpost.com"}};
  const std::vector<std::string> s10Services = {"RR", "RB", "EE", "EA", "CP",
                                                "LZ", "LX", "UA", "VV"};
  const std::vector<std::string> uspsPrefixes = {"9400", "9205", "9407", "9270", "9303",
                                                 "9505", "9361", "9374", "9202"};
  const auto impb22 = [&] {
    const std::string data = uspsPrefixes[static_cast<std::size_t>(below(9))] + digits(17);
    return data + gs1Check(data);
  };
  const std::vector<Make> makers = {
      [&] {
        std::string shipper;
        for (int i = 0; i < 6; ++i) shipper += below(3) == 0 ? letters(1) : digits(1);
        const std::string data = shipper + digits(2) + digits(7);
        return withCheck("1Z" + data, upsCheck(data), "www.ups.com", "UPS 1Z");
      },
      [&] {
        const std::string data = digits(11);
        return withCheck(data, weighted11Check(data, {3, 1, 7}), "www.fedex.com", "FedEx 12");
      },
      [&] {
        const std::string data = digits(14);
        return withCheck(data, gs1Check(data), "www.fedex.com", "FedEx Ground 15");
      },
      [&] {
        const std::string serial = digits(14);
        return withCheck("9611020" + serial, gs1Check(serial), "www.fedex.com", "FedEx 96 22");
      },
      [&] {
        const std::string serial = digits(13);
        return withCheck("100" + digits(2) + digits(10) + digits(5) + serial,
                         weighted11Check(serial, {1, 7, 3}), "www.fedex.com", "FedEx 34");
      },
      [&] {
        const std::string data = "61" + digits(17);
        return withCheck(data, gs1Check("92" + data), "www.fedex.com", "FedEx SmartPost 20");
      },
      [&] {
        return NumberSample{impb22(), "www.usps.com", "USPS IMpb 22"};
      },
      [&] {
        const std::string data = "92" + digits(23);
        return withCheck(data, gs1Check(data), "www.usps.com", "USPS IMpb 26");
      },
      [&] {
        return NumberSample{"420" + digits(5) + impb22(), "www.usps.com", "USPS 420 ZIP5"};
      },
      [&] {
        return NumberSample{"420" + digits(9) + impb22(), "www.usps.com", "USPS 420 ZIP9"};
      },
      [&] {
        const std::string data = digits(9);
        return withCheck(data, mod7Check(data), "www.dhl.com", "DHL Express 10");
      },
      [&] { return plain("JD01" + digits(16), "www.dhl.com", "DHL Express JD"); },
      [&] { return plain("JJD" + digits(18), "www.dhl.com", "DHL JJD"); },
      [&] {
        const std::string data = "00340434" + digits(11);
        return withCheck(data, gs1Check(data), "www.dhl.de", "DHL Paket SSCC 20");
      },
      [&] {
        const std::string data = digits(11);
        return withCheck(data, weighted10Check(data, {4, 9}), "www.dhl.de", "DHL Paket 12");
      },
      [&] { return plain("TBA" + digits(12), "track.amazon.com", "Amazon TBA"); },
      [&] {
        const std::string data = digits(15);
        return withCheck(data, gs1Check(data), "www.canadapost.ca", "Canada Post 16");
      },
      [&] { return plain("D" + digits(21), "www.canpar.com", "Canpar"); },
      [&] { return plain("33" + digits(10), "www.purolator.com", "Purolator 12"); },
      [&] {
        std::string prefix;
        do prefix = letters(3);
        while (prefix == "JJD" || prefix == "LTN" || prefix.rfind("TB", 0) == 0);
        return plain(prefix + digits(9), "www.purolator.com", "Purolator letters");
      },
      [&] {
        const std::string data = std::string(below(2) ? "C" : "D") + digits(13);
        return withCheck(data, upsCheck(data), "www.ontrac.com", "OnTrac");
      },
      [&] { return plain("1LS7" + digits(11), "www.lasership.com", "LaserShip 1LS"); },
      [&] { return plain("LX" + digits(8), "www.lasership.com", "LaserShip LX"); },
      [&] {
        const std::string data = digits(14);
        return withCheck(data, mod3736Check(data), "www.dpd.de", "DPD 14+1");
      },
      [&] { return plain("JD0002" + digits(12), "www.yodel.co.uk", "Yodel"); },
      [&] { return plain("YT" + digits(16), "www.yunexpress.com", "YunExpress"); },
      [&] { return plain("LTN" + digits(9) + "N1", "www.landmarkglobal.com", "Landmark"); },
      [&] { return plain("CR" + digits(12), "www.gofo.com", "GoFo"); },
      [&] { return plain("SP" + digits(18), "www.speedeedelivery.com", "Spee-Dee"); },
      [&] {
        std::string rest;
        for (int i = 0; i < 15; ++i) rest += below(4) == 0 ? letters(1) : digits(1);
        return plain("H" + rest, "www.evri.com", "Evri");
      },
      [&] { return plain("6" + digits(23), "inpost.pl", "InPost"); },
      [&] { return plain("PQ" + letters(1) + digits(20), "www.correos.es", "Correos PQ"); },
      [&] { return plain("JJFI" + digits(17), "www.posti.fi", "Posti JJFI"); },
      [&] { return plain("Z" + digits(10), "www.packeta.com", "Packeta"); },
      [&] { return plain("LP" + digits(14), "global.cainiao.com", "Cainiao"); },
      [&] {
        const std::string data = digits(10);
        return withCheck(data, mod7Check(data), "www.odfl.com", "Old Dominion PRO");
      },
      [&] {
        const auto& post = posts[static_cast<std::size_t>(below(static_cast<int>(posts.size())))];
        const std::string serial = digits(8);
        NumberSample sample{s10Services[static_cast<std::size_t>(below(9))] + serial +
                                s10Check(serial) + post.first,
                            post.second, "UPU S10 " + post.first};
        sample.checkAt = 10;
        return sample;
      },
  };
  std::vector<NumberSample> samples;
  for (int round = 0; round < count; ++round)
    for (const auto& make : makers) samples.push_back(make());
  return samples;
}

std::string NumberSamples::withWrongCheck(const NumberSample& sample) {
  std::string number = sample.number;
  char& check =
      number[sample.checkAt < 0 ? number.size() - 1 : static_cast<std::size_t>(sample.checkAt)];
  if (check >= '0' && check <= '9')
    check = check == '9' ? '0' : static_cast<char>(check + 1);
  else
    check = check == 'Z' ? 'A' : static_cast<char>(check + 1);
  return number;
}

std::string NumberSamples::grouped(const std::string& number, char separator) {
  std::string out;
  for (std::size_t at = 0; at < number.size(); at += 4) {
    // A last group of one joins the one before it: printed numbers do not end in one character.
    const std::size_t take = number.size() - at == 5 ? 5 : 4;
    if (!out.empty()) out += separator;
    out += number.substr(at, take);
    if (take == 5) break;
  }
  return out;
}

std::string NumberSamples::distractorLine() {
  const auto d = [&](int count) { return digits(count); };
  switch (below(14)) {
    case 0:
      return "Order #1" + d(2) + "-" + d(7) + "-" + d(7) + " placed on 0" + d(1) + "/1" + d(1) +
             "/2025.";
    case 1:
      return "Order total: $" + std::to_string(1 + below(2000)) + "." + d(2) + " (tax $" + d(2) +
             "." + d(2) + ").";
    case 2:
      return "Questions? Call 1-800-" + d(3) + "-" + d(4) + " or write to help@shop.example.";
    case 3:
      return "Customer service: (" + d(3) + ") " + d(3) + "-" + d(4) + ", Mon-Fri 9-5.";
    case 4:
      return "From abroad: +44 20 " + d(4) + " " + d(4) + ".";
    case 5:
      return "Delivery address: 1600 Amphitheatre Pkwy, Mountain View, CA 94043-" + d(4) + ".";
    case 6:
      return "Shipped on 2024-0" + std::to_string(1 + below(9)) + "-1" + d(1) + " at 1" + d(1) +
             ":3" + d(1) + ".";
    case 7:
      return "Order number: W" + d(9);
    case 8:
      return "Invoice 2024-" + d(6) + " is attached.";
    case 9:
      return "Customer ID " + d(12);
    case 10:
      return "Gift card 6011 " + d(4) + " " + d(4) + " " + d(4) + " was charged.";
    case 11:
      return "Lieferung an: Hauptstr. 5, 10115 Berlin. Tel. +49 30 " + d(8);
    case 12:
      return "Your order of " + std::to_string(1 + below(5)) + " items, SKU AB" + d(5) + "CD.";
    default:
      return "Estimated delivery: 1" + d(1) + ".0" + std::to_string(1 + below(9)) +
             ".2025 between 8:00 and 12:00.";
  }
}

SampleText NumberSamples::mail(const std::vector<NumberSample>& samples) {
  static const char* greetings[] = {"Hello Sam,", "Hi there,", "Dear customer,", "Guten Tag,"};
  static const char* templates[] = {"Parcel number:%",
                                    "Your parcel \"%\" is on its way!",
                                    "Shipment [%]; see you soon",
                                    "Tracking number: %",
                                    "Your tracking number is %.",
                                    "Track your parcel: %",
                                    "Package 2 ships with its own number (%).",
                                    "Sendungsnummer %",
                                    "%",
                                    "Your package is on its way. Tracking # %",
                                    "Carrier tracking ID: %"};
  SampleText out;
  out.text = std::string(greetings[below(4)]) + "\n\n";
  const int numbers = 1 + below(3);
  const int lines = 3 + below(4);
  std::vector<int> at;
  for (int i = 0; i < numbers; ++i) at.push_back(below(lines + 1));
  for (int line = 0; line <= lines; ++line) {
    for (int slot : at) {
      if (slot != line) continue;
      const auto& sample =
          samples[static_cast<std::size_t>(below(static_cast<int>(samples.size())))];
      std::string shown = sample.number;
      const int style = below(5);
      if (style == 3) shown = grouped(sample.number, ' ');
      if (style == 4) shown = grouped(sample.number, '-');
      std::string text = templates[below(static_cast<int>(std::size(templates)))];
      text.replace(text.find('%'), 1, shown);
      out.text += text + "\n";
      out.numbers.push_back(sample.number);
    }
    if (line < lines) out.text += distractorLine() + "\n";
  }
  out.text += "\nThank you for shopping with us!\n";
  return out;
}

}  // namespace qby::test
