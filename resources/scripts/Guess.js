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
  australiaPost: 'auspost.com.au',
  postNL: 'www.postnl.nl',
  dpd: 'www.dpd.de',
  dpdUK: 'www.dpd.co.uk',
  onTrac: 'www.ontrac.com',
  laserShip: 'www.lasership.com',
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
  CH: 'www.post.ch'
};

// Posts that deliver items announced by another country's post under its S10 number.
var QBYGuessDestinationPosts = [
  'www.usps.com', 'www.royalmail.com', 'www.canadapost.ca', 'auspost.com.au', 'www.dhl.de',
  'www.postnl.nl'
];

// A digit's value; letters count as (code - 3) mod 10, as UPS numbers them (A = 2, B = 3, ...).
function qbyGuessValue(c) {
  var code = c.charCodeAt(0);
  if (code >= 48 && code <= 57) return code - 48;
  return (code - 3) % 10;
}

// Weights applied from the left; the check makes the weighted sum a multiple of ten.
function qbyGuessMod10Left(data, evenWeight, oddWeight) {
  var total = 0;
  for (var i = 0; i < data.length; i++)
    total += qbyGuessValue(data.charAt(i)) * (i % 2 === 0 ? evenWeight : oddWeight);
  return (10 - total % 10) % 10;
}

// GS1 (SSCC, IMpb, FedEx Ground): weight 3 on the rightmost data digit, then 1, 3, ...
function qbyGuessGS1(data) {
  var total = 0;
  for (var i = data.length - 1, w = 3; i >= 0; i--, w = 4 - w)
    total += qbyGuessValue(data.charAt(i)) * w;
  return (10 - total % 10) % 10;
}

// Sum of products with repeating weights, modulo 11, then modulo 10 (FedEx Express).
function qbyGuessWeighted11(data, weights) {
  var total = 0;
  for (var i = 0; i < data.length; i++)
    total += (data.charCodeAt(i) - 48) * weights[i % weights.length];
  return total % 11 % 10;
}

function qbyGuessCheck(number, expected) {
  return number.charCodeAt(number.length - 1) - 48 === expected;
}

function qbyGuessS10Check(serial) {
  var weights = [8, 6, 4, 2, 3, 5, 9, 7], total = 0;
  for (var i = 0; i < 8; i++) total += (serial.charCodeAt(i) - 48) * weights[i];
  var check = 11 - total % 11;
  return check === 10 ? 0 : check === 11 ? 5 : check;
}

// ISO 7064 MOD 37,36 check character (DPD).
function qbyGuessMod3736(data) {
  var alphabet = '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ', p = 36;
  for (var i = 0; i < data.length; i++) {
    var value = alphabet.indexOf(data.charAt(i));
    if (value < 0) return '';
    p = (p + value) % 36;
    p = ((p === 0 ? 36 : p) * 2) % 37;
  }
  return alphabet.charAt((37 - p) % 36);
}

// Upper case without the blanks, hyphens and dots people put into numbers (ASCII and Unicode
// dashes and spaces alike).
function qbyGuessCleanNumber(text) {
  return String(text).toUpperCase().replace(
      /[\s\u00A0\u2000-\u200B\u202F\u205F\u3000.\-\u2010-\u2015\u2212\uFE58\uFE63\uFF0D\/]/g, '');
}

function qbyGuessAdd(list, key) {
  if (list.indexOf(key) < 0) list.push(key);
}

// The services a cleaned number (capital letters and digits only) may belong to: best for
// numbers whose format and check digit fit, more for numbers that only look like a format.
function qbyGuessNumber(n) {
  var K = QBYGuessKeys, best = [], more = [];
  var digits = /^[0-9]+$/.test(n), m;
  var len = n.length;

  if ((m = /^1Z([A-Z0-9]{15})([0-9])$/.exec(n))) {
    if (qbyGuessMod10Left(m[1], 1, 2) === +m[2])
      qbyGuessAdd(best, K.ups);
    else
      qbyGuessAdd(more, K.ups);
  }
  if ((m = /^([A-Z]{2})([0-9]{8})([0-9])([A-Z]{2})$/.exec(n))) {
    var post = QBYGuessPostByCountry[m[4]];
    if (qbyGuessS10Check(m[2]) === +m[3]) {
      if (post) qbyGuessAdd(best, post);
      if (m[4] === 'GB') qbyGuessAdd(more, K.parcelforce);
      for (var i = 0; i < QBYGuessDestinationPosts.length; i++)
        if (QBYGuessDestinationPosts[i] !== post) qbyGuessAdd(more, QBYGuessDestinationPosts[i]);
    } else if (post) {
      qbyGuessAdd(more, post);
    }
  }
  if (/^[A-Z]{2}[0-9]{7}$/.test(n) && !/^(TB|JJ|JD|LX)/.test(n)) qbyGuessAdd(best, K.parcelforce);
  if (/^TB[ACM][0-9]{12}$/.test(n))
    qbyGuessAdd(best, n.charAt(2) === 'C' ? K.amazonCanada : K.amazonUS);
  if (/^(JJD|JVGL|JD)[0-9]{8,22}$/.test(n)) {
    qbyGuessAdd(best, K.dhlExpress);
    qbyGuessAdd(more, K.dhlGermany);
  }
  if (/^(GM|LX|RX|UV|CN|SG|TH|IN|HK|MY)[0-9]{10,39}$/.test(n)) qbyGuessAdd(best, K.dhlExpress);
  if (/^3S[A-Z]{4}[0-9]{6,11}$/.test(n)) qbyGuessAdd(best, K.postNL);
  if (/^1LS[0-9A-Z]{10,16}$/.test(n)) {
    qbyGuessAdd(best, K.laserShip);
    qbyGuessAdd(best, K.onTrac);
  }
  if (/^L[XS][0-9]{8,12}$/.test(n)) qbyGuessAdd(best, K.laserShip);
  if ((m = /^([CD])([0-9]{13})([0-9])$/.exec(n))) {
    var data = (m[1] === 'C' ? '4' : '5') + m[2];
    if (qbyGuessMod10Left(data, 1, 2) === +m[3])
      qbyGuessAdd(best, K.onTrac);
    else
      qbyGuessAdd(more, K.onTrac);
  }
  if (/^[0-9A-Z]{2}[A-Z]{3}[0-9]{7,8}$/.test(n) && !/^(TB|JJ|JD|LX|LS|1Z|3S)/.test(n))
    qbyGuessAdd(best, K.australiaPost);
  if ((m = /^([0-9]{14})([A-Z])$/.exec(n))) {
    if (qbyGuessMod3736(m[1]) === m[2]) {
      qbyGuessAdd(best, K.dpd);
      qbyGuessAdd(best, K.dpdUK);
    } else {
      qbyGuessAdd(more, K.dpd);
      qbyGuessAdd(more, K.dpdUK);
    }
  }
  if ((m = /^([0-9]{27})([0-9A-Z])$/.exec(n))) {
    if (qbyGuessMod3736(m[1]) === m[2])
      qbyGuessAdd(best, K.dpd);
    else
      qbyGuessAdd(more, K.dpd);
  }

  if (digits) {
    var data11 = n.substring(0, len - 1);
    if (len === 10 || len === 11) {
      if (+data11 % 7 === +n.charAt(len - 1))
        qbyGuessAdd(best, K.dhlExpress);
      else
        qbyGuessAdd(more, K.dhlExpress);
    }
    if (len === 12) {
      if (qbyGuessCheck(n, qbyGuessWeighted11(data11, [3, 1, 7])))
        qbyGuessAdd(best, K.fedex);
      else
        qbyGuessAdd(more, K.fedex);
      if (qbyGuessCheck(n, qbyGuessMod10Left(data11, 4, 9)))
        qbyGuessAdd(best, K.dhlGermany);
      else
        qbyGuessAdd(more, K.dhlGermany);
      qbyGuessAdd(more, K.canadaPost);
      qbyGuessAdd(more, K.purolator);
    }
    if (len === 14) {
      qbyGuessAdd(more, K.dpd);
      qbyGuessAdd(more, K.dpdUK);
    }
    if (len === 15) {
      if (qbyGuessCheck(n, qbyGuessGS1(data11)))
        qbyGuessAdd(best, K.fedex);
      else
        qbyGuessAdd(more, K.fedex);
    }
    if (len === 16) {
      if (qbyGuessCheck(n, qbyGuessGS1(data11)))
        qbyGuessAdd(best, K.canadaPost);
      else
        qbyGuessAdd(more, K.canadaPost);
    }
    if (len === 18) {
      if (qbyGuessCheck(n, qbyGuessGS1(data11)))
        qbyGuessAdd(best, K.fedex);
      else
        qbyGuessAdd(more, K.fedex);
    }
    if (len === 20) {
      var gs1 = qbyGuessCheck(n, qbyGuessGS1(data11));
      if (/^00/.test(n)) {
        if (gs1)
          qbyGuessAdd(best, K.dhlGermany);
        else
          qbyGuessAdd(more, K.dhlGermany);
      }
      if (/^61/.test(n)) {
        // SmartPost numbers drop the "92" of their check-digit calculation.
        if (qbyGuessCheck(n, qbyGuessGS1('92' + data11))) {
          qbyGuessAdd(best, K.fedex);
          qbyGuessAdd(more, K.usps);
        } else
          qbyGuessAdd(more, K.fedex);
      }
      if (gs1 && !/^00/.test(n))
        qbyGuessAdd(best, K.usps);
      else if (gs1)
        qbyGuessAdd(more, K.usps);
      else if (qbyGuessCheck(n, qbyGuessGS1('91' + data11)))
        qbyGuessAdd(best, K.usps);
      else
        qbyGuessAdd(more, K.usps);
    }
    if (len === 22 || len === 26) {
      var valid = qbyGuessCheck(n, qbyGuessGS1(data11));
      if (/^96/.test(n) && len === 22) {
        if (qbyGuessCheck(n, qbyGuessGS1(n.substring(7, 21))))
          qbyGuessAdd(best, K.fedex);
        else
          qbyGuessAdd(more, K.fedex);
      } else if (/^9[1-5]/.test(n)) {
        if (valid) {
          qbyGuessAdd(best, K.usps);
          if (/^92/.test(n)) {
            qbyGuessAdd(more, K.fedex);
            qbyGuessAdd(more, K.upsMailInnovations);
          }
        } else {
          qbyGuessAdd(more, K.usps);
        }
      } else if (valid) {
        qbyGuessAdd(more, K.usps);
      }
    }
    if ((len === 30 || len === 34) && /^420/.test(n)) {
      var impb = n.substring(len === 30 ? 8 : 12);
      if (qbyGuessCheck(impb, qbyGuessGS1(impb.substring(0, 21))))
        qbyGuessAdd(best, K.usps);
      else
        qbyGuessAdd(more, K.usps);
    }
    if (len === 34 && /^(10|96)/.test(n)) {
      if (qbyGuessCheck(n, qbyGuessWeighted11(n.substring(20, 33), [1, 7, 3])))
        qbyGuessAdd(best, K.fedex);
      else
        qbyGuessAdd(more, K.fedex);
    }
  }

  for (var b = 0; b < best.length; b++) {
    var at = more.indexOf(best[b]);
    if (at >= 0) more.splice(at, 1);
  }
  return {best: best, more: more};
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
    key: 'www.amazon.com',
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
