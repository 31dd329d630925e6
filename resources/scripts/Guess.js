// Tracking-number formats and carrier links. This file is loaded into the tracking context as
// well as into the recognition context, so it only defines functions and values: nothing here
// runs at load time beyond building constant tables. Every service key named here must be a
// service of the services list: a guess is offered for adding, and a key without a service
// (and tracking script) cannot be added.

var QBYGuessKeys = {
  ups: 'www.ups.com',
  upsMailInnovations: 'www.upsmailinnovations.com',
  fedex: 'www.fedex.com',
  usps: 'www.usps.com',
  dhlExpress: 'www.dhl.com',
  dhlGermany: 'www.dhl.de',
  royalMail: 'www.royalmail.com',
  parcelforce: 'www.parcelforce.com',
  canadaPost: 'www.canadapost.ca',
  purolator: 'www.purolator.com',
  canpar: 'www.canpar.com',
  australiaPost: 'auspost.com.au',
  postNL: 'www.postnl.nl',
  dpd: 'www.dpd.de',
  dpdUK: 'www.dpd.co.uk',
  yodel: 'www.yodel.co.uk',
  onTrac: 'www.ontrac.com',
  laserShip: 'www.lasership.com',
  yunExpress: 'www.yunexpress.com',
  landmark: 'www.landmarkglobal.com',
  gofo: 'www.gofo.com',
  speeDee: 'www.speedeedelivery.com',
  oldDominion: 'www.odfl.com',
  gls: 'gls-group.com',
  evri: 'www.evri.com',
  inPost: 'inpost.pl',
  bpost: 'www.bpost.be',
  correos: 'www.correos.es',
  posti: 'www.posti.fi',
  packeta: 'www.packeta.com',
  cainiao: 'global.cainiao.com',
  amazonLogistics: 'track.amazon.com',
  amazonUS: 'www.amazon.com',
  amazonCanada: 'www.amazon.ca',
  amazonOrderLink: 'www.amazon.com/url',
  other: 'other'
};

// The national post that tracks an S10 item by the country code at its end.
var QBYGuessPostByCountry = {
  US: 'www.usps.com',
  GB: 'www.royalmail.com',
  CA: 'www.canadapost.ca',
  AU: 'auspost.com.au',
  NL: 'www.postnl.nl',
  DE: 'www.dhl.de',
  AT: 'www.post.at',
  FR: 'www.laposte.fr',
  IT: 'www.poste.it',
  JP: 'www.post.japanpost.jp',
  HK: 'www.hongkongpost.hk',
  NO: 'www.posten.no',
  SE: 'www.posten.se',
  DK: 'www.postdanmark.dk',
  CH: 'www.post.ch',
  ES: 'www.correos.es',
  BE: 'www.bpost.be',
  PT: 'www.ctt.pt',
  IE: 'www.anpost.com',
  PL: 'www.pocztapolska.pl',
  FI: 'www.posti.fi',
  EE: 'www.omniva.ee',
  KR: 'www.epost.go.kr',
  SG: 'www.singpost.com'
};

// Other services of a post that may carry its S10 items.
var QBYGuessPostAlternatives = {
  GB: ['www.parcelforce.com']
};

// Posts that deliver items announced by another country's post under its S10 number.
var QBYGuessDestinationPosts = [
  'www.usps.com', 'www.royalmail.com', 'www.canadapost.ca', 'auspost.com.au', 'www.dhl.de',
  'www.postnl.nl'
];

// The number formats of the carriers, as their published rules describe them. Each entry:
//   length   the number's length, or [shortest, longest]
//   prefixes the number begins with one of these (none: with anything the shape allows)
//   except   and with none of these
//   inner    {at, prefixes}: the characters from `at` on begin with one of the prefixes
//   innerExcept {at, prefixes}: and those from `at` on with none of them
//   shape    the classes of the characters after the prefix, as runs: D digits, L capital
//            letters, X either, each followed by its count or by * for all that are left
//            ("L2D9L2": two letters, nine digits, two letters)
//   check    the check character's rule (see qbyGuessChecks), over the characters from..to
//            (to excluded; negative counts from the end) with the check at `at` (default: to),
//            `lead` digits placed before them and the rule's weights; none: the format alone
//   best     the services of a number whose check holds (or that has none)
//   more     services a number whose check holds may also belong to
//   failed   the services a number whose check fails may still belong to (default: best)
//   post     the national post of the country code at the end of the number (S10)
// A format that fits adds its services; a service that one format names best is not listed
// as a further possibility by another.
var QBYGuessFormats = (function() {
  var K = {impbStarts: ['91', '92', '93', '94', '95']};
  for (var name in QBYGuessKeys) K[name] = QBYGuessKeys[name];
  return [
    // UPS: 1Z, shipper (6), service (2), package (7), check; letters count as digits.
    {length: 18, prefixes: ['1Z'], shape: 'X15D1', check: {rule: 'mod10', from: 2, to: 17,
      weights: [1, 2]}, best: [K.ups]},
    // FedEx Express: 11 digits and a check, weights 3 1 7, modulo 11 then 10.
    {length: 12, shape: 'D*', check: {rule: 'mod11', from: 0, to: 11, weights: [3, 1, 7]},
      best: [K.fedex]},
    // FedEx Ground (15), the SSCC-like 18 and the 96 barcodes (22: check over the last 15).
    {length: 15, shape: 'D*', check: {rule: 'gs1', from: 0, to: 14}, best: [K.fedex]},
    {length: 18, shape: 'D*', check: {rule: 'gs1', from: 0, to: 17}, best: [K.fedex]},
    {length: 22, prefixes: ['96'], shape: 'D*', check: {rule: 'gs1', from: 7, to: 21},
      best: [K.fedex]},
    // FedEx SmartPost: the check includes the 92 that the printed number leaves out.
    {length: 20, prefixes: ['61'], shape: 'D*', check: {rule: 'gs1', from: 0, to: 19,
      lead: '92'}, best: [K.fedex], more: [K.usps], failed: [K.fedex]},
    // FedEx Express 34-digit barcodes: the serial (13) and its check at the end.
    {length: 34, prefixes: ['10', '96'], shape: 'D*', check: {rule: 'mod11', from: 20, to: 33,
      weights: [1, 7, 3]}, best: [K.fedex]},
    // USPS Intelligent Mail package barcodes: 20, 22 and 26 digits with a GS1 check, alone or
    // behind the 420 routing code and a ZIP code of 5 or 9 digits.
    {length: 20, except: ['00', '61'], shape: 'D*', check: {rule: 'gs1', from: 0, to: 19},
      best: [K.usps]},
    {length: 20, except: ['00', '61'], shape: 'D*', check: {rule: 'gs1', from: 0, to: 19,
      lead: '91'}, best: [K.usps]},
    {length: [22, 26], prefixes: ['91', '93', '94', '95'], shape: 'D*',
      check: {rule: 'gs1', from: 0, to: -1}, best: [K.usps]},
    {length: [22, 26], prefixes: ['92'], shape: 'D*', check: {rule: 'gs1', from: 0, to: -1},
      best: [K.usps], more: [K.fedex, K.upsMailInnovations]},
    {length: [22, 26], except: ['91', '92', '93', '94', '95', '96'], shape: 'D*',
      check: {rule: 'gs1', from: 0, to: -1}, more: [K.usps], failed: []},
    // A 34-digit number is read as ZIP 9 and 22 digits when its digits after a ZIP of 9 begin
    // as a package barcode does, else as ZIP 5 and 26 digits.
    {length: 30, prefixes: ['420'], inner: {at: 8, prefixes: K.impbStarts}, shape: 'D*',
      check: {rule: 'gs1', from: 8, to: 29}, best: [K.usps]},
    {length: 34, prefixes: ['420'], inner: {at: 12, prefixes: K.impbStarts}, shape: 'D*',
      check: {rule: 'gs1', from: 12, to: 33}, best: [K.usps]},
    {length: 34, prefixes: ['420'], inner: {at: 8, prefixes: K.impbStarts}, shape: 'D*',
      innerExcept: {at: 12, prefixes: K.impbStarts}, check: {rule: 'gs1', from: 8, to: 33},
      best: [K.usps]},
    // UPU S10: service (2 letters), serial (8), check (modulo 11), country.
    {length: 13, shape: 'L2D9L2', check: {rule: 's10', from: 2, to: 10}, post: true},
    // DHL Express waybills: 10 digits, the last the rest of the others divided by 7.
    {length: 10, shape: 'D*', check: {rule: 'mod7', from: 0, to: 9}, best: [K.dhlExpress]},
    // Old Dominion PRO numbers: 11 digits with the same rule as the waybills of DHL, which
    // prints some numbers of that length too.
    {length: 11, shape: 'D*', check: {rule: 'mod7', from: 0, to: 10},
      best: [K.oldDominion, K.dhlExpress]},
    // DHL Paket: 12 digits (weights 4 9) and the 20-digit SSCC of its labels.
    {length: 12, shape: 'D*', check: {rule: 'mod10', from: 0, to: 11, weights: [4, 9]},
      best: [K.dhlGermany]},
    {length: 20, prefixes: ['00'], shape: 'D*', check: {rule: 'gs1', from: 0, to: 19},
      best: [K.dhlGermany], more: [K.usps]},
    // DHL numbers with letters: JJD and JVGL pieces, JD waybills (20), eCommerce numbers.
    {length: [11, 25], prefixes: ['JJD'], shape: 'D*', best: [K.dhlExpress], more: [K.dhlGermany]},
    {length: [12, 26], prefixes: ['JVGL'], shape: 'D*', best: [K.dhlExpress],
      more: [K.dhlGermany]},
    {length: [10, 24], prefixes: ['JD'], except: ['JD0'], shape: 'D*', best: [K.dhlExpress],
      more: [K.dhlGermany]},
    {length: 20, prefixes: ['JD0'], shape: 'D*', best: [K.dhlExpress], more: [K.dhlGermany]},
    {length: [12, 40], prefixes: ['GM', 'RX', 'UV', 'CN', 'SG', 'TH', 'IN', 'HK', 'MY'],
      shape: 'D*', best: [K.dhlExpress]},
    {length: [12, 40], prefixes: ['LX'], shape: 'D*', best: [K.dhlExpress]},
    // Yodel: JD and 16 digits.
    {length: 18, prefixes: ['JD0'], shape: 'D*', best: [K.yodel]},
    // Royal Mail's Parcelforce: two letters and 7 digits.
    {length: 9, except: ['TB', 'JJ', 'JD', 'LX'], shape: 'L2D7', best: [K.parcelforce]},
    // PostNL: 3S, a customer code of 4 letters, a serial.
    {length: [12, 17], prefixes: ['3S'], shape: 'L4D*', best: [K.postNL]},
    // Australia Post: an article id of 2 characters, 3 letters, 7 or 8 digits.
    {length: [12, 13], except: ['TB', 'JJ', 'JD', 'LX', 'LS', '1Z', '3S'], shape: 'X2L3D*',
      best: [K.australiaPost]},
    // Amazon Logistics: TBA (United States), TBC (Canada), TBM (Mexico) and 12 digits.
    {length: 15, prefixes: ['TBA', 'TBM'], shape: 'D*', best: [K.amazonLogistics],
      more: [K.amazonUS]},
    {length: 15, prefixes: ['TBC'], shape: 'D*', best: [K.amazonLogistics],
      more: [K.amazonCanada]},
    // OnTrac: C or D and 14 characters, the last a check over the others (letters as UPS's).
    {length: 15, prefixes: ['C', 'D'], shape: 'D*', check: {rule: 'mod10', from: 0, to: 14,
      weights: [1, 2]}, best: [K.onTrac]},
    // LaserShip, now part of OnTrac: 1LS numbers, LX and LS numbers.
    {length: [13, 19], prefixes: ['1LS'], shape: 'X*', best: [K.laserShip, K.onTrac]},
    {length: [10, 14], prefixes: ['LX', 'LS'], shape: 'D*', best: [K.laserShip]},
    // Canpar: D and 21 digits; Purolator: 12 digits beginning 33, or 3 letters and 7 or 9
    // digits. 12 digits of no other format may be either post of Canada.
    {length: 22, prefixes: ['D'], shape: 'D*', best: [K.canpar]},
    {length: 12, prefixes: ['33'], shape: 'D*', best: [K.purolator]},
    {length: 10, shape: 'L3D7', except: ['JJD', 'LTN'], best: [K.purolator]},
    {length: 12, shape: 'L3D9', except: ['JJD', 'LTN', 'TBA', 'TBC', 'TBM'], best: [K.purolator]},
    {length: 12, shape: 'D*', more: [K.canadaPost, K.purolator]},
    // Canada Post: 16 digits with a GS1 check.
    {length: 16, shape: 'D*', check: {rule: 'gs1', from: 0, to: 15}, best: [K.canadaPost]},
    // DPD: 14 digits and an ISO 7064 MOD 37,36 check character; the 28-character barcode.
    {length: 15, shape: 'D14X1', check: {rule: 'mod3736', from: 0, to: 14},
      best: [K.dpd, K.dpdUK]},
    {length: 14, shape: 'D*', more: [K.dpd, K.dpdUK]},
    {length: 28, shape: 'D27X1', check: {rule: 'mod3736', from: 0, to: 27}, best: [K.dpd]},
    // YunExpress: YT and 16 digits.
    {length: 18, prefixes: ['YT'], shape: 'D*', best: [K.yunExpress]},
    // Landmark Global: LTN, a serial, and N with the package's number.
    {length: [9, 17], prefixes: ['LTN'], shape: 'D*', best: [K.landmark]},
    {length: [11, 18], prefixes: ['LTN'], shape: 'D*L1D1', best: [K.landmark]},
    {length: [12, 19], prefixes: ['LTN'], shape: 'D*L1D2', best: [K.landmark]},
    // GoFo: CR and 12 digits. Spee-Dee: SP and 18 digits.
    {length: 14, prefixes: ['CR'], shape: 'D*', best: [K.gofo]},
    {length: 20, prefixes: ['SP'], shape: 'D*', best: [K.speeDee]},
    // GLS: 11 digits and a check; with the other carriers' 12-digit numbers only a possibility.
    {length: [11, 12], shape: 'D*', more: [K.gls]},
    // Evri (formerly Hermes UK): H and 15 letters and digits.
    {length: 16, prefixes: ['H'], shape: 'X*', best: [K.evri]},
    // InPost: 24 digits; bpost: 24 digits beginning 32.
    {length: 24, prefixes: ['32'], shape: 'D*', best: [K.bpost], more: [K.inPost]},
    {length: 24, except: ['32'], shape: 'D*', best: [K.inPost]},
    // Correos parcels: PQ and 21 letters and digits.
    {length: 23, prefixes: ['PQ'], shape: 'X*', best: [K.correos]},
    // Posti: JJFI and digits.
    {length: [17, 26], prefixes: ['JJFI'], shape: 'D*', best: [K.posti]},
    // Packeta: Z and 10 digits.
    {length: 11, prefixes: ['Z'], shape: 'D*', best: [K.packeta]},
    // Cainiao: LP and 14 to 16 digits.
    {length: [16, 18], prefixes: ['LP'], shape: 'D*', best: [K.cainiao]}
  ];
})();

// A character's value in a check: a digit its own, a letter (code - 3) mod 10 as UPS numbers
// them (A = 2, B = 3, ...).
function qbyGuessValue(code) {
  return code <= 57 ? code - 48 : (code - 3) % 10;
}

// The check rules: each answers the check character that the data characters call for.
var qbyGuessChecks = {
  // Weights from the left; the check makes the weighted sum a multiple of ten.
  mod10: function(n, from, to, check) {
    var total = 0, weights = check.weights;
    for (var i = from; i < to; i++)
      total += qbyGuessValue(n.charCodeAt(i)) * weights[(i - from) % weights.length];
    return 48 + (10 - total % 10) % 10;
  },
  // GS1 (SSCC, IMpb, FedEx Ground): weight 3 on the rightmost data digit, then 1, 3, ...
  gs1: function(n, from, to, check) {
    var total = 0, w = 3, i;
    for (i = to - 1; i >= from; i--, w = 4 - w) total += (n.charCodeAt(i) - 48) * w;
    var lead = check.lead;
    if (lead)
      for (i = lead.length - 1; i >= 0; i--, w = 4 - w) total += (lead.charCodeAt(i) - 48) * w;
    return 48 + (10 - total % 10) % 10;
  },
  // Sum of products with repeating weights, modulo 11, then modulo 10 (FedEx Express).
  mod11: function(n, from, to, check) {
    var total = 0, weights = check.weights;
    for (var i = from; i < to; i++)
      total += (n.charCodeAt(i) - 48) * weights[(i - from) % weights.length];
    return 48 + total % 11 % 10;
  },
  // The rest of the data read as a number divided by 7 (DHL Express, freight PRO numbers).
  mod7: function(n, from, to) {
    var rest = 0;
    for (var i = from; i < to; i++) rest = (rest * 10 + n.charCodeAt(i) - 48) % 7;
    return 48 + rest;
  },
  // UPU S10: weights 8 6 4 2 3 5 9 7, modulo 11; 10 becomes 0 and 11 becomes 5.
  s10: function(n, from) {
    var weights = [8, 6, 4, 2, 3, 5, 9, 7], total = 0;
    for (var i = 0; i < 8; i++) total += (n.charCodeAt(from + i) - 48) * weights[i];
    var check = 11 - total % 11;
    return 48 + (check === 10 ? 0 : check === 11 ? 5 : check);
  },
  // ISO 7064 MOD 37,36 check character (DPD).
  mod3736: function(n, from, to) {
    var p = 36;
    for (var i = from; i < to; i++) {
      var code = n.charCodeAt(i);
      p = (p + (code <= 57 ? code - 48 : code - 55)) % 36;
      p = ((p === 0 ? 36 : p) * 2) % 37;
    }
    var value = (37 - p) % 36;
    return value < 10 ? 48 + value : 55 + value;
  }
};

// Character classes of a shape, one for each position.
var QBYGuessDigit = 1, QBYGuessLetter = 2, QBYGuessEither = 3;

// The classes of a number of the given length that a format's shape describes (the prefix
// taken as it stands), or null when the shape cannot have that length.
function qbyGuessShapeClasses(format, length, prefixLength) {
  var runs = [], fixed = 0, m, pattern = /([DLX])([0-9]+|\*)/g;
  while ((m = pattern.exec(format.shape)) !== null) {
    var cls = m[1] === 'D' ? QBYGuessDigit : m[1] === 'L' ? QBYGuessLetter : QBYGuessEither;
    runs.push({cls: cls, count: m[2] === '*' ? -1 : +m[2]});
    if (m[2] !== '*') fixed += +m[2];
  }
  var rest = length - prefixLength - fixed;
  if (rest < 0) return null;
  var classes = [];
  for (var r = 0; r < runs.length; r++) {
    var count = runs[r].count < 0 ? rest : runs[r].count;
    if (runs[r].count < 0) rest = 0;
    for (var c = 0; c < count; c++) classes.push(runs[r].cls);
  }
  return classes.length === length - prefixLength ? classes : null;
}

// The formats by length, each with its shape's classes for that length and its check range
// in absolute positions: built once, so that a guess looks at the few formats of its length.
var QBYGuessFormatsByLength = (function() {
  var byLength = [];
  for (var f = 0; f < QBYGuessFormats.length; f++) {
    var format = QBYGuessFormats[f];
    var lengths = typeof format.length === 'number' ? [format.length, format.length] :
                                                      format.length;
    var prefixes = format.prefixes || [''];
    for (var length = lengths[0]; length <= lengths[1]; length++) {
      for (var p = 0; p < prefixes.length; p++) {
        var classes = qbyGuessShapeClasses(format, length, prefixes[p].length);
        if (!classes) continue;
        var variant = {format: format, prefix: prefixes[p], classes: classes};
        if (format.check) {
          var from = format.check.from, to = format.check.to;
          variant.from = from < 0 ? length + from : from;
          variant.to = to < 0 ? length + to : to;
          variant.at = format.check.at === undefined ? variant.to : format.check.at;
          variant.rule = qbyGuessChecks[format.check.rule];
        }
        (byLength[length] = byLength[length] || []).push(variant);
      }
    }
  }
  return byLength;
})();

function qbyGuessAdd(list, key) {
  if (list.indexOf(key) < 0) list.push(key);
}

function qbyGuessAddAll(list, keys) {
  if (keys)
    for (var i = 0; i < keys.length; i++) qbyGuessAdd(list, keys[i]);
}

// Whether the number continues at `at` with one of the prefixes.
function qbyGuessContinuesWith(n, inner) {
  for (var i = 0; i < inner.prefixes.length; i++)
    if (n.lastIndexOf(inner.prefixes[i], inner.at) === inner.at) return true;
  return false;
}

function qbyGuessFits(n, variant) {
  var prefix = variant.prefix, format = variant.format, i;
  if (prefix && n.lastIndexOf(prefix, 0) !== 0) return false;
  if (format.except)
    for (i = 0; i < format.except.length; i++)
      if (n.lastIndexOf(format.except[i], 0) === 0) return false;
  if (format.inner && !qbyGuessContinuesWith(n, format.inner)) return false;
  if (format.innerExcept && qbyGuessContinuesWith(n, format.innerExcept)) return false;
  var classes = variant.classes, offset = prefix.length;
  for (i = 0; i < classes.length; i++) {
    var code = n.charCodeAt(offset + i);
    var cls = code >= 48 && code <= 57 ? QBYGuessDigit : code >= 65 && code <= 90 ? QBYGuessLetter : 0;
    if ((cls & classes[i]) === 0) return false;
  }
  return true;
}

// The services a cleaned number (capital letters and digits only) may belong to: best for
// numbers whose format and check digit fit, more for numbers that only look like a format.
function qbyGuessNumber(n) {
  var best = [], more = [], variants = QBYGuessFormatsByLength[n.length];
  if (variants) {
    for (var v = 0; v < variants.length; v++) {
      var variant = variants[v], format = variant.format;
      if (!qbyGuessFits(n, variant)) continue;
      var passed = !variant.rule ||
          variant.rule(n, variant.from, variant.to, format.check) === n.charCodeAt(variant.at);
      if (format.post) {
        var country = n.substring(n.length - 2), post = QBYGuessPostByCountry[country];
        if (!passed) {
          if (post) qbyGuessAdd(more, post);
          continue;
        }
        if (post) qbyGuessAdd(best, post);
        qbyGuessAddAll(more, QBYGuessPostAlternatives[country]);
        qbyGuessAddAll(more, QBYGuessDestinationPosts);
      } else if (passed) {
        qbyGuessAddAll(best, format.best);
        qbyGuessAddAll(more, format.more);
      } else {
        qbyGuessAddAll(more, format.failed || format.best);
      }
    }
  }
  if (best.length > 0 && more.length > 0) {
    var kept = [];
    for (var m = 0; m < more.length; m++)
      if (best.indexOf(more[m]) < 0) kept.push(more[m]);
    more = kept;
  }
  return {best: best, more: more};
}

// Upper case without the blanks, hyphens and dots people put into numbers (ASCII and Unicode
// dashes and spaces alike).
function qbyGuessCleanNumber(text) {
  text = String(text);
  // Most texts are already a clean number: answer those without a copy.
  for (var i = 0; i < text.length; i++) {
    var code = text.charCodeAt(i);
    if (!((code >= 48 && code <= 57) || (code >= 65 && code <= 90))) {
      return text.toUpperCase().replace(
          /[\s\u00A0\u2000-\u200B\u202F\u205F\u3000.\-\u2010-\u2015\u2212\uFE58\uFE63\uFF0D\/]/g,
          '');
    }
  }
  return text;
}

// Carrier tracking pages: the number in the address and the carrier that serves the page.
var QBYGuessLinks = [
  {
    host: /(^|\.)ups\.com$/,
    key: 'www.ups.com',
    params: ['tracknum', 'trackNums', 'InquiryNumber1', 'tracknumber'],
    path: /\/track\/([A-Z0-9]+)/i
  },
  {
    host: /(^|\.)fedex\.com$/,
    key: 'www.fedex.com',
    params: ['trknbr', 'tracknumbers', 'tracknumber', 'trackingnumber']
  },
  {
    host: /(^|\.)usps\.com$/,
    key: 'www.usps.com',
    params: ['tLabels', 'tLabels[]', 'qtc_tLabels1', 'tracknumber']
  },
  {host: /(^|\.)dhl\.de$/, key: 'www.dhl.de', params: ['piececode', 'idc', 'tracking-id']}, {
    host: /(^|\.)dhl\.(com|[a-z]{2})$/,
    key: 'www.dhl.com',
    params: ['tracking-id', 'AWB', 'trackingNumber', 'submit_id']
  },
  {
    host: /(^|\.)royalmail\.com$/,
    key: 'www.royalmail.com',
    params: ['trackNumber'],
    fragment: /tracking-results\/([A-Z0-9]+)/i
  },
  {
    host: /(^|\.)parcelforce\.com$/,
    key: 'www.parcelforce.com',
    params: ['trackNumber', 'parcel_number']
  },
  {
    host: /(^|\.)canadapost(-postescanada)?\.ca$/,
    key: 'www.canadapost.ca',
    params: ['trackingNumber', 'searchFor'],
    fragment: /searchFor=([A-Z0-9]+)/i
  },
  {
    host: /(^|\.)auspost\.com\.au$/,
    key: 'auspost.com.au',
    params: ['id'],
    path: /\/track\/(?:details\/)?([A-Z0-9]+)/i
  },
  {
    host: /(^|\.)postnl\.nl$/,
    key: 'www.postnl.nl',
    params: ['B', 'barcode'],
    path: /track-and-trace\/([A-Z0-9]+)/i
  },
  {
    host: /(^|\.)dpd\.de$/,
    key: 'www.dpd.de',
    params: ['parcelNr', 'query'],
    path: /\/parcel\/([0-9A-Z]+)/i
  },
  {
    host: /(^|\.)dpd\.co\.uk$/,
    key: 'www.dpd.co.uk',
    params: ['parcel'],
    path: /\/parcels\/([0-9A-Z]+)/i
  },
  {host: /(^|\.)ontrac\.com$/, key: 'www.ontrac.com', params: ['number', 'tracking']}, {
    host: /(^|\.)lasership\.com$/,
    key: 'www.lasership.com',
    params: ['track'],
    path: /\/track\/([0-9A-Z-]+)/i
  },
  {
    host: /^track\.amazon\.[a-z.]+$/,
    key: 'track.amazon.com',
    params: [],
    path: /\/tracking\/([A-Z0-9]+)/i
  }
];

function qbyGuessQueryValue(query, name) {
  var parts = query.split('&');
  for (var i = 0; i < parts.length; i++) {
    var eq = parts[i].indexOf('=');
    if (eq < 0) continue;
    if (parts[i].substring(0, eq).toLowerCase() !== name.toLowerCase()) continue;
    try {
      return decodeURIComponent(parts[i].substring(eq + 1).replace(/\+/g, ' '));
    } catch (e) {
      return parts[i].substring(eq + 1);
    }
  }
  return null;
}

// Parts of an http(s) address, or null.
function qbyGuessSplitURL(url) {
  var m = /^(https?):\/\/([^\/?#:]+)(:[0-9]+)?([^?#]*)(\?[^#]*)?(#.*)?$/i.exec(url);
  if (!m) return null;
  return {
    host: m[2].toLowerCase(),
    path: m[4] || '',
    query: m[5] ? m[5].substring(1) : '',
    fragment: m[6] ? m[6].substring(1) : ''
  };
}

// A guess for a carrier tracking link or a shop's order page, or null.
function qbyGuessURL(url) {
  var parts = qbyGuessSplitURL(url);
  if (!parts) return null;
  for (var i = 0; i < QBYGuessLinks.length; i++) {
    var link = QBYGuessLinks[i];
    if (!link.host.test(parts.host)) continue;
    var found = null;
    for (var p = 0; p < link.params.length && !found; p++)
      found = qbyGuessQueryValue(parts.query, link.params[p]);
    if (!found && link.path) {
      var pm = link.path.exec(parts.path);
      if (pm) found = pm[1];
    }
    if (!found && link.fragment) {
      var fm = link.fragment.exec(parts.fragment);
      if (fm) found = fm[1];
    }
    if (!found) continue;
    // A link may carry several numbers; the first one is the delivery's.
    var number = qbyGuessCleanNumber(found.split(/[,;|]/)[0]);
    if (!/^[A-Z0-9]{5,40}$/.test(number)) continue;
    var services = qbyGuessNumber(number);
    var best = [link.key];
    for (var b = 0; b < services.best.length; b++) qbyGuessAdd(best, services.best[b]);
    var more = [];
    for (var m2 = 0; m2 < services.more.length; m2++)
      if (best.indexOf(services.more[m2]) < 0) more.push(services.more[m2]);
    return {no: number, best: best, more: more};
  }
  // Amazon order pages: the order link service follows the order by its page.
  if (/(^|\.)amazon\.[a-z.]+$/.test(parts.host) &&
      (/order-?[iI][dD]=/.test(parts.query) ||
       /\/(progress-tracker|your-orders|gp\/your-account\/order-details|gp\/css\/order-details)/
           .test(parts.path))) {
    var order =
        qbyGuessQueryValue(parts.query, 'orderID') || qbyGuessQueryValue(parts.query, 'orderId');
    var guess = {extra: url, best: [QBYGuessKeys.amazonOrderLink], more: []};
    if (order && /^[0-9]{3}-[0-9]{7}-[0-9]{7}$/.test(order)) guess.name = order;
    return guess;
  }
  return null;
}
