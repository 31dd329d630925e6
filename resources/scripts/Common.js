// Helpers shared by the tracking and recognition scripts. Loaded first in both contexts, so it
// only defines things: nothing here talks to the host while the file is evaluated.
//
// Every helper is forgiving: carriers send odd values, and a helper that throws would fail a
// whole delivery over one bad field. Unreadable input gives undefined (or "" for texts).

var Q = (function() {
  'use strict';

  var Q = {};

  // The current time. Tests replace it to run against a fixed reference date, so scripts ask
  // Q.now() instead of calling new Date() themselves.
  Q.now = function() { return new Date(); };

  function pad(number, width) {
    var text = String(number);
    while (text.length < (width || 2)) text = '0' + text;
    return text;
  }
  Q.pad = pad;

  Q.isString = function(value) { return typeof value === 'string'; };

  // Text form of anything; "" for undefined and null.
  Q.string = function(value) {
    if (value === undefined || value === null) return '';
    return String(value);
  };

  Q.trim = function(
      text) { return Q.string(text).replace(/^[\s\u200b\ufeff]+|[\s\u200b\ufeff]+$/g, ''); };

  // Parsed JSON, or undefined for anything that is not complete JSON (truncated answers, HTML
  // error pages, empty bodies).
  Q.json = function(text) {
    if (typeof text !== 'string') return undefined;
    var trimmed = Q.trim(text);
    if (trimmed === '') return undefined;
    try {
      return JSON.parse(trimmed);
    } catch (error) {
      return undefined;
    }
  };

  // Whether a response body looks like a web page rather than data.
  Q.looksLikeHTML = function(
      text) { return /^\s*(<!doctype\s+html|<html|<head|<body)/i.test(Q.string(text)); };

  // The value at a path of property names and array indexes, or undefined as soon as a step is
  // missing: Q.get(answer, "output", "completeTrackResults", 0).
  Q.get = function(value) {
    for (var i = 1; i < arguments.length; i++) {
      if (value === undefined || value === null) return undefined;
      value = value[arguments[i]];
    }
    return value === null ? undefined : value;
  };

  // An array, whatever the carrier sent: a lone object becomes a one-element array.
  Q.array = function(value) {
    if (Array.isArray(value)) return value;
    if (value === undefined || value === null) return [];
    return [value];
  };

  function daysInMonth(year, month) { return new Date(Date.UTC(year, month, 0)).getUTCDate(); }

  function isoDayFromParts(year, month, day) {
    year = Number(year);
    month = Number(month);
    day = Number(day);
    if (!isFinite(year) || !isFinite(month) || !isFinite(day)) return undefined;
    if (year < 100) year += 2000;
    if (year < 1900 || year > 2999) return undefined;
    if (month < 1 || month > 12) return undefined;
    if (day < 1 || day > daysInMonth(year, month)) return undefined;
    return pad(year, 4) + '-' + pad(month) + '-' + pad(day);
  }

  function isValidDate(value) { return value instanceof Date && !isNaN(value.getTime()); }

  // Every local-time reading makes the engine look up the machine's time zone afresh, which
  // costs more than the rest of a delivery's date work; most readings ask for the same day
  // ("today"). The last local day read is kept with the times it spans and answers for times
  // within them for a minute, so that a change of time zone shows soon.
  var lastDay = {start: 0, end: 0, readAt: 0, day: undefined};

  function localDay(date) {
    var time = date.getTime();
    var now = Date.now();
    if (time >= lastDay.start && time < lastDay.end && now >= lastDay.readAt &&
        now - lastDay.readAt < 60000)
      return lastDay.day;
    var day = isoDayFromParts(date.getFullYear(), date.getMonth() + 1, date.getDate());
    var start = new Date(time);
    start.setHours(0, 0, 0, 0);
    var end = new Date(start.getTime());
    end.setDate(end.getDate() + 1);
    // A day whose midnight the clock skips starts later; such times are simply read again.
    if (start.getTime() <= time && time < end.getTime())
      lastDay = {start: start.getTime(), end: end.getTime(), readAt: now, day: day};
    return day;
  }

  // The calendar day of a value as an ISO day "YYYY-MM-DD":
  // - a Date: its local day;
  // - a number: milliseconds since 1970, local day;
  // - "2024-03-05…" (ISO, any time or offset after it): the day as written, not converted;
  // - "20240305";
  // - "05/03/2024", "05.03.2024", "5-3-24": day first unless order is "mdy";
  // - "2024/03/05".
  // Undefined for anything else, including impossible days such as 2023-02-29.
  Q.isoDay = function(value, order) {
    if (isValidDate(value)) return localDay(value);
    if (typeof value === 'number') return isFinite(value) ? Q.isoDay(new Date(value)) : undefined;
    var text = Q.trim(value);
    var match = /^(\d{4})-(\d{1,2})-(\d{1,2})(?![\d])/.exec(text);
    if (match) return isoDayFromParts(match[1], match[2], match[3]);
    match = /^(\d{4})(\d{2})(\d{2})(?![\d])/.exec(text);
    if (match) return isoDayFromParts(match[1], match[2], match[3]);
    match = /^(\d{4})\/(\d{1,2})\/(\d{1,2})(?![\d])/.exec(text);
    if (match) return isoDayFromParts(match[1], match[2], match[3]);
    match = /^(\d{1,2})[./-](\d{1,2})[./-](\d{4}|\d{2})(?![\d])/.exec(text);
    if (match) {
      return order === 'mdy' ? isoDayFromParts(match[3], match[1], match[2]) :
                               isoDayFromParts(match[3], match[2], match[1]);
    }
    return undefined;
  };

  // "HH:MM:SS" of a time text: "07:13", "0713", "071356", "7:13:56", "10:22 pm". Undefined
  // when unreadable.
  Q.isoTime = function(value) {
    var text = Q.trim(value);
    var match =
        /^(\d{1,2}):(\d{2})(?::(\d{2}))?(?:[.,]\d+)?\s*(am|pm|a\.m\.|p\.m\.)?/i.exec(text) ||
        /^(\d{2})(\d{2})(\d{2})?(?![\d])\s*(am|pm)?/i.exec(text);
    if (!match) return undefined;
    var hours = Number(match[1]);
    var minutes = Number(match[2]);
    var seconds = match[3] ? Number(match[3]) : 0;
    var meridiem = match[4] ? match[4].toLowerCase().charAt(0) : '';
    if (meridiem) {
      if (hours < 1 || hours > 12) return undefined;
      if (meridiem === 'p' && hours < 12) hours += 12;
      if (meridiem === 'a' && hours === 12) hours = 0;
    }
    if (hours > 23 || minutes > 59 || seconds > 59) return undefined;
    return pad(hours) + ':' + pad(minutes) + ':' + pad(seconds);
  };

  // The time part of a date-time text, or "" when it has none. Only what follows the day is
  // looked at: the digits of a day alone must never read as a time.
  function timePart(text) {
    var match = /^\d{4}-\d{1,2}-\d{1,2}[T ]\s*(.+)$/i.exec(text) ||
        /^\d{8}[T ]?(\d{4,6})$/i.exec(text) || /^\d{4}\/\d{1,2}\/\d{1,2}\s+(.+)$/.exec(text) ||
        /^\d{1,2}[./-]\d{1,2}[./-](?:\d{4}|\d{2})(?:,?\s+|T)(.+)$/i.exec(text);
    return match ? match[1] : '';
  }

  // A local date-time "YYYY-MM-DDTHH:MM:SS" as the carrier wrote it: an offset or "Z" is
  // dropped, not applied, because the tracking lines show the time at the scan's place.
  // With a second argument the first is a day and the second a time ("20240410", "071356").
  // A day without a time gives midnight.
  Q.isoDateTime = function(value, time, order) {
    if (isValidDate(value) && time === undefined) {
      return (
          Q.isoDay(value) + 'T' + pad(value.getHours()) + ':' + pad(value.getMinutes()) + ':' +
          pad(value.getSeconds()));
    }
    var day = Q.isoDay(value, order);
    if (!day) return undefined;
    var clock = time !== undefined ? Q.isoTime(time) : Q.isoTime(timePart(Q.trim(value)));
    return day + 'T' + (clock || '00:00:00');
  };

  // Days from one ISO day to another (positive when "to" is later).
  Q.daysBetween = function(from, to) {
    var a = Q.isoDay(from);
    var b = Q.isoDay(to);
    if (!a || !b) return undefined;
    var parse = function(day) {
      return Date.UTC(Number(day.slice(0, 4)), Number(day.slice(5, 7)) - 1, Number(day.slice(8)));
    };
    return Math.round((parse(b) - parse(a)) / 86400000);
  };

  var entities = {
    amp: '&',
    lt: '<',
    gt: '>',
    quot: '"',
    apos: '\'',
    nbsp: ' ',
    ndash: '\u2013',
    mdash: '\u2014',
    hellip: '\u2026',
    laquo: '\u00ab',
    raquo: '\u00bb',
    lsquo: '\u2018',
    rsquo: '\u2019',
    ldquo: '\u201c',
    rdquo: '\u201d',
    bull: '\u2022',
    middot: '\u00b7',
    copy: '\u00a9',
    reg: '\u00ae',
    trade: '\u2122',
    deg: '\u00b0',
    euro: '\u20ac',
    pound: '\u00a3',
    yen: '\u00a5',
    auml: '\u00e4',
    ouml: '\u00f6',
    uuml: '\u00fc',
    Auml: '\u00c4',
    Ouml: '\u00d6',
    Uuml: '\u00dc',
    szlig: '\u00df',
    eacute: '\u00e9',
    egrave: '\u00e8',
    ecirc: '\u00ea',
    agrave: '\u00e0',
    aacute: '\u00e1',
    ccedil: '\u00e7',
    iacute: '\u00ed',
    oacute: '\u00f3',
    uacute: '\u00fa',
    ntilde: '\u00f1',
    aring: '\u00e5',
    oslash: '\u00f8',
    aelig: '\u00e6',
    Aring: '\u00c5',
    Oslash: '\u00d8',
    AElig: '\u00c6',
  };

  function codePoint(number) {
    if (!isFinite(number) || number <= 0 || number > 0x10ffff) return '\ufffd';
    if (number >= 0xd800 && number <= 0xdfff) return '\ufffd';
    return String.fromCodePoint(number);
  }

  Q.decodeEntities = function(text) {
    return Q.string(text).replace(/&(#x[0-9a-f]+|#[0-9]+|[a-z][a-z0-9]*);/gi, function(all, name) {
      if (name.charAt(0) === '#') {
        var hex = name.charAt(1) === 'x' || name.charAt(1) === 'X';
        return codePoint(parseInt(name.slice(hex ? 2 : 1), hex ? 16 : 10));
      }
      return Object.prototype.hasOwnProperty.call(entities, name) ? entities[name] : all;
    });
  };

  // The visible text of an HTML fragment or page: scripts, styles and comments dropped, tags
  // removed (block ends become spaces), entities decoded, white space collapsed.
  //
  // A tracking page runs to tens of thousands of characters and every update reads one, so
  // each pass is skipped when a cheap search shows it cannot match, and the collapse leaves
  // the lone spaces between words alone instead of replacing each with itself. The passes and
  // their order are kept as they were: they answer the same text.
  var collapsible = /(?! (?![\s\u00a0]))[\s\u00a0]+/g;
  Q.text = function(html) {
    var text = Q.string(html);
    if (text.indexOf('<') >= 0) {
      if (text.indexOf('<!--') >= 0) text = text.replace(/<!--[\s\S]*?-->/g, ' ');
      // The full pass, with its back-reference, costs several times this test, and most
      // pages hold no such block.
      if (/<(script|style|noscript|template)\b/i.test(text)) {
        text = text.replace(/<(script|style|noscript|template)\b[\s\S]*?<\/\1\s*>/gi, ' ');
      }
      text = text.replace(/<(br|\/p|\/div|\/tr|\/td|\/th|\/li|\/h[1-6]|\/dt|\/dd)\b[^>]*>/gi, ' ')
                 .replace(/<[^>]*>/g, '');
    }
    if (text.indexOf('&') >= 0) text = Q.decodeEntities(text);
    text = text.replace(collapsible, ' ');
    var start = text.charAt(0) === ' ' ? 1 : 0;
    var end =
        text.length > start && text.charAt(text.length - 1) === ' ' ? text.length - 1 : text.length;
    return start === 0 && end === text.length ? text : text.slice(start, end);
  };

  // The rows of an HTML table, each as the list of its data cells (td) read by read(html,
  // attributes), which defaults to the cell's visible text (Q.text). The HTML may begin with
  // the table's opening tag, inside it (after its id) or at its body or first row; reading ends
  // where that table ends, or with the text. Header cells (th) and rows without data cells are
  // left out, and a cell spanning columns counts once (its attributes say how many it spans).
  //
  // Carriers' pages are read as a browser reads them, not as a pattern would: a table inside a
  // cell belongs to that cell's text and its rows are not rows of the table; a cell or row
  // whose closing tag is left out, as HTML allows, ends where the next one or the table body
  // begins; tags inside comments, scripts and styles count for nothing.
  Q.tableRows = function(html, read) {
    // Made afresh for every call, so that a read function may read a table of its own.
    var tableTags =
        /<!--[\s\S]*?(?:-->|$)|<(script|style)\b[\s\S]*?(?:<\/\1\s*>|$)|<(\/?)(table|thead|tbody|tfoot|tr|td|th)\b([^>]*)>/gi;
    var text = Q.string(html);
    read = typeof read === 'function' ? read : Q.text;
    var rows = [];
    var row;   // the open row's cells, or undefined
    var cell;  // the open cell: {tag, attributes, start}, or undefined
    var nested = 0;
    var opened = false;
    function endCell(at) {
      if (cell && cell.tag === 'td') row.push(read(text.slice(cell.start, at), cell.attributes));
      cell = undefined;
    }
    function endRow(at) {
      endCell(at);
      if (row && row.length) rows.push(row);
      row = undefined;
    }
    var tag;
    while ((tag = tableTags.exec(text))) {
      if (!tag[3]) continue;  // a comment, script or style
      var name = tag[3].toLowerCase();
      var closing = tag[2] === '/';
      if (nested) {
        if (name === 'table') nested += closing ? -1 : 1;
        continue;
      }
      if (name === 'table') {
        if (closing) {
          endRow(tag.index);
          break;
        }
        // The table's own opening tag; any other belongs to a cell, or is skipped whole.
        if (opened || row) nested = 1;
        opened = true;
        continue;
      }
      opened = true;
      if (name === 'td' || name === 'th') {
        endCell(tag.index);
        if (closing) continue;
        if (!row) row = [];
        cell = {tag: name, attributes: tag[4], start: tag.index + tag[0].length};
      } else if (name === 'tr' && !closing) {
        endRow(tag.index);
        row = [];
      } else {
        // </tr>, and the start or end of a head, body or foot.
        endRow(tag.index);
      }
    }
    if (!tag) endRow(text.length);
    return rows;
  };

  function encodePairs(object, encode) {
    var pairs = [];
    if (!object || typeof object !== 'object') return '';
    Object.keys(object).forEach(function(key) {
      Q.array(object[key]).forEach(function(value) {
        if (value === undefined || value === null) return;
        pairs.push(encode(key) + '=' + encode(String(value)));
      });
    });
    return pairs.join('&');
  }

  // An application/x-www-form-urlencoded body. Undefined and null values are left out; an
  // array gives the key once per element.
  Q.form = function(object) {
    return encodePairs(
        object, function(text) { return encodeURIComponent(text).replace(/%20/g, '+'); });
  };

  // A URL query (without the "?"), encoded the same way but with spaces as %20.
  Q.query = function(object) { return encodePairs(object, encodeURIComponent); };

  // The URL with the values of query parameters that usually carry secrets replaced, for log
  // lines (some carriers take their key only in the query).
  Q.hideSecrets = function(url) {
    return String(url).replace(
        /([?&](?:apikey|api_key|key|token|access_token|client_secret|password|secret)=)[^&#]*/gi,
        '$1(hidden)');
  };

  function withoutUndefined(fields) {
    var result = {};
    if (!fields || typeof fields !== 'object') return result;
    Object.keys(fields).forEach(function(key) {
      var value = fields[key];
      if (value === undefined || value === null) return;
      if (typeof value === 'number' && !isFinite(value)) return;
      result[key] = value;
    });
    return result;
  }

  // An item dictionary with only the keys that have a value.
  Q.item = function(fields) { return withoutUndefined(fields); };

  // One tracking line of an item's history.
  Q.event = function(date, text, location) {
    return withoutUndefined({
      date: date,
      text: Q.trim(text) || undefined,
      location: Q.trim(location) || undefined,
    });
  };

  // One tracking item read the same way for every carrier. While the piece travels, the
  // status line carries the latest state, so that a new state reads as changed text; once
  // delivered it shows the shipping day.
  //   info: {state ("delivered", "out" = out for delivery, "transit", "pending" = announced,
  //          not handed over, "exception"), status, statusDate, firstDate, deliveredDate,
  //          expected, location, history}
  // Dates may be anything Q.isoDay reads; expected is an ISO day.
  Q.trackingItem = function(name, info) {
    var delivered = info.state === 'delivered';
    var statusDay = Q.isoDay(info.statusDate);
    var deliveredDay = Q.isoDay(info.deliveredDate) || statusDay;
    var expectedDay = Q.isoDay(info.expected);
    var fallback =
        {pending: S.labelCreated, exception: S.exception, out: S.outForDelivery}[info.state] ||
        S.inTransit;
    var statusText = Q.trim(Q.string(info.status).replace(/%@/g, '')) || fallback;
    return Q.item({
      itemName: name,
      icon: {delivered: 'checkmark', pending: 'box', exception: 'warning'}[info.state] || 'truck',
      shippedText: delivered ? S.shipped : (statusDay ? statusText + ' %@' : statusText),
      shippedDateString: delivered ? (Q.isoDay(info.firstDate) || deliveredDay) : statusDay,
      deliveredText: delivered ? S.delivered : (expectedDay ? S.expected : undefined),
      deliveredDateString: delivered ? deliveredDay : expectedDay,
      dateString: delivered ? deliveredDay : (expectedDay || statusDay),
      statusDateString: statusDay,
      location: info.location || undefined,
      history: info.history
    });
  };

  // The tracking lines newest first, whatever order the carrier used; lines without a date go
  // last. A copy: the argument is left as it was.
  Q.newestFirst = function(events) {
    return Q.array(events).slice().sort(function(a, b) {
      var left = Q.string(a && a.date), right = Q.string(b && b.date);
      return right < left ? -1 : (right > left ? 1 : 0);
    });
  };

  // How soon to ask again for a list of such items: every piece delivered, every piece only
  // announced, or moving.
  Q.itemsInterval = function(items) {
    var all = function(icon) { return items.every(function(item) { return item.icon === icon; }); };
    return Q.interval(all('checkmark') ? 'delivered' : all('box') ? 'pending' : 'transit');
  };

  // Minutes until the next update, by what the last answer said about the delivery.
  var intervals = {
    delivered: 1440,
    transit: 60,
    pending: 180,
    notfound: 240,
    error: 120,
    unsupported: 1440,
  };
  Q.interval = function(state) {
    return Object.prototype.hasOwnProperty.call(intervals, state) ? intervals[state] :
                                                                    intervals.error;
  };

  // A results dictionary with the status and the given fields that have a value.
  Q.results = function(status, fields) {
    var results = withoutUndefined(fields);
    results.status = status;
    return results;
  };

  // Joins the parts that have visible text with ", ".
  Q.join = function() {
    var parts = [];
    for (var i = 0; i < arguments.length; i++) {
      var part = Q.trim(arguments[i]);
      if (part) parts.push(part);
    }
    return parts.join(', ');
  };

  // "NEW YORK" → "New York"; mixed-case text is left as the carrier wrote it.
  Q.capitalize = function(text) {
    text = Q.trim(text);
    if (text !== text.toUpperCase()) return text;
    return text.toLowerCase().replace(
        /(^|[\s\-/'(.])([a-z\u00e0-\u00fe])/g,
        function(all, before, letter) { return before + letter.toUpperCase(); });
  };

  // Replaces "%@" placeholders one by one with the arguments; placeholders without an
  // argument stay.
  Q.format = function(template) {
    var index = 1;
    var args = arguments;
    return Q.string(template).replace(
        /%@/g, function(all) { return index < args.length ? Q.string(args[index++]) : all; });
  };

  Q.isURL = function(text) {
    return /^https?:\/\/[^\s/?#]+\.[^\s/?#]+([/?#]\S*)?$/i.test(Q.trim(text)) ||
        /^https?:\/\/(localhost|127\.0\.0\.1)(:\d+)?([/?#]\S*)?$/i.test(Q.trim(text));
  };

  // Hands each UTF-8 byte of the text to sink. A lone surrogate cannot be encoded; it stands
  // for a character that was cut in half and becomes U+FFFD. A plain loop over the code units:
  // a page's fingerprint walks tens of thousands of them, and regular expressions with
  // look-behind or an intermediate byte array cost more than the rest of the page's work.
  function eachUTF8Byte(text, sink) {
    var s = Q.string(text);
    var length = s.length;
    for (var i = 0; i < length; i++) {
      var c = s.charCodeAt(i);
      if (c < 0x80) {
        sink(c);
        continue;
      }
      if (c >= 0xd800 && c <= 0xdfff) {
        var next = i + 1 < length ? s.charCodeAt(i + 1) : 0;
        if (c <= 0xdbff && next >= 0xdc00 && next <= 0xdfff) {
          c = 0x10000 + ((c - 0xd800) << 10) + (next - 0xdc00);
          i++;
        } else {
          c = 0xfffd;
        }
      }
      if (c < 0x800) {
        sink(0xc0 | (c >> 6));
      } else if (c < 0x10000) {
        sink(0xe0 | (c >> 12));
        sink(0x80 | ((c >> 6) & 63));
      } else {
        sink(0xf0 | (c >> 18));
        sink(0x80 | ((c >> 12) & 63));
        sink(0x80 | ((c >> 6) & 63));
      }
      sink(0x80 | (c & 63));
    }
  }

  function utf8Bytes(text) {
    var bytes = [];
    eachUTF8Byte(text, function(b) { bytes.push(b); });
    return bytes;
  }

  var base64Alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';

  // Base64 of the text's UTF-8 bytes (HTTP basic authentication, for one).
  Q.base64 = function(text) {
    var bytes = utf8Bytes(text);
    var out = '';
    for (var i = 0; i < bytes.length; i += 3) {
      var chunk = (bytes[i] << 16) | ((bytes[i + 1] || 0) << 8) | (bytes[i + 2] || 0);
      out += base64Alphabet.charAt((chunk >> 18) & 63) + base64Alphabet.charAt((chunk >> 12) & 63);
      out += i + 1 < bytes.length ? base64Alphabet.charAt((chunk >> 6) & 63) : '=';
      out += i + 2 < bytes.length ? base64Alphabet.charAt(chunk & 63) : '=';
    }
    return out;
  };

  // A short, stable fingerprint of a text (FNV-1a over its UTF-8 bytes, 8 hex digits). Not
  // for security: it only notices that a page changed. The bytes are folded in where they are
  // made, without a callback per byte: a page's text is tens of thousands of characters.
  var fnvPrime = 0x01000193;
  Q.hash = function(text) {
    var s = Q.string(text);
    var length = s.length;
    var hash = 0x811c9dc5 | 0;
    for (var i = 0; i < length; i++) {
      var c = s.charCodeAt(i);
      if (c < 0x80) {
        hash = Math.imul(hash ^ c, fnvPrime);
        continue;
      }
      if (c >= 0xd800 && c <= 0xdfff) {
        var next = i + 1 < length ? s.charCodeAt(i + 1) : 0;
        if (c <= 0xdbff && next >= 0xdc00 && next <= 0xdfff) {
          c = 0x10000 + ((c - 0xd800) << 10) + (next - 0xdc00);
          i++;
        } else {
          c = 0xfffd;
        }
      }
      if (c < 0x800) {
        hash = Math.imul(hash ^ (0xc0 | (c >> 6)), fnvPrime);
      } else if (c < 0x10000) {
        hash = Math.imul(hash ^ (0xe0 | (c >> 12)), fnvPrime);
        hash = Math.imul(hash ^ (0x80 | ((c >> 6) & 63)), fnvPrime);
      } else {
        hash = Math.imul(hash ^ (0xf0 | (c >> 18)), fnvPrime);
        hash = Math.imul(hash ^ (0x80 | ((c >> 12) & 63)), fnvPrime);
        hash = Math.imul(hash ^ (0x80 | ((c >> 6) & 63)), fnvPrime);
      }
      hash = Math.imul(hash ^ (0x80 | (c & 63)), fnvPrime);
    }
    return ('0000000' + (hash >>> 0).toString(16)).slice(-8);
  };

  // A debugging line, sent to the host only when file logging is on.
  Q.log = function(message) {
    if (typeof logLevel !== 'undefined' && logLevel === 1 && typeof alert === 'function') {
      alert(Q.string(message));
    }
  };

  return Q;
})();
