// Recognition of tracking numbers in what a user types, pastes or shares. The host calls
// guessesFromText for every candidate it finds in a page and additionalDataFromHTML once per
// page; the number formats themselves live in Guess.js.

// Beyond this a text is no single number or link; it is only searched when not strict.
var QBYGuessLongestCandidate = 2048;
// A number is 8 to 40 letters and digits; not strict, one of 10 to 34 that fits no format may
// still be one of the big carriers'.
var QBYGuessShortestNumber = 8, QBYGuessLongestNumber = 40;
var QBYGuessShortestLooseNumber = 10, QBYGuessLongestLooseNumber = 34;
var QBYGuessLooseNumberKeys =
    [QBYGuessKeys.ups, QBYGuessKeys.fedex, QBYGuessKeys.usps, QBYGuessKeys.dhlExpress];
// Larger texts are not searched at all: the host finds their candidates itself.
var QBYGuessLongestText = 1048576;

function qbyGuessAnswer(number, services, input) {
  var guess = {no: number, best: services.best, more: services.more, input: input};
  return guess;
}

// Words make a sentence, not a number: a piece of letters alone that is five long, or four
// with a small letter ("Call about 1Z... today"). The letter groups of numbers (JJD, RB, GB,
// TBA) are shorter.
function qbyGuessHasWord(text) {
  var pieces = text.split(/[\s\u00A0]+/);
  for (var i = 0; i < pieces.length; i++) {
    var piece = pieces[i];
    if (/^[A-Za-z]+$/.test(piece) &&
        (piece.length >= 5 || (piece.length >= 4 && /[a-z]/.test(piece))))
      return true;
  }
  return false;
}

// A number in a text that is nothing but the number (blanks, hyphens and dots allowed).
function qbyGuessWholeNumber(text, strict) {
  if (/[\s\u00A0]/.test(text) && qbyGuessHasWord(text)) return null;
  var number = qbyGuessCleanNumber(text);
  if (number.length < QBYGuessShortestNumber || number.length > QBYGuessLongestNumber ||
      !/^[A-Z0-9]+$/.test(number) || !/[0-9]/.test(number))
    return null;
  var services = qbyGuessNumber(number);
  if (strict) {
    // The text must be one number of a carrier's format; best and more tell whether its check
    // digit holds. No catch-all carriers here: a page is full of numbers of no format.
    if (services.best.length === 0 && services.more.length === 0) return null;
    return qbyGuessAnswer(number, services, text);
  }
  if (services.best.length === 0 && services.more.length === 0) {
    // Long runs of letters and digits are plausible numbers of the big carriers.
    if (number.length < QBYGuessShortestLooseNumber || number.length > QBYGuessLongestLooseNumber)
      return null;
    services.more = QBYGuessLooseNumberKeys.slice();
  }
  return qbyGuessAnswer(number, services, text);
}

// The first number in a longer text that a carrier's format fits; one that only looks like a
// number is kept in case nothing better turns up.
function qbyGuessSearchText(text) {
  var runs = /[A-Za-z0-9]+(?:[ \-.\u2010-\u2015\u2212\u00A0][A-Za-z0-9]+)*/g, m, fallback = null;
  while ((m = runs.exec(text)) !== null) {
    var tokens = m[0].split(/[ \u00A0]/);
    // Longest stretch of separated pieces first, so "1Z 999 AA1 ..." is read as one number.
    for (var start = 0; start < tokens.length; start++) {
      for (var end = tokens.length; end > start; end--) {
        var piece = tokens.slice(start, end).join(' ');
        var number = qbyGuessCleanNumber(piece);
        if (number.length < QBYGuessShortestNumber || number.length > QBYGuessLongestNumber ||
            !/[0-9]/.test(number))
          continue;
        var services = qbyGuessNumber(number);
        if (services.best.length > 0) return qbyGuessAnswer(number, services, piece);
        if (!fallback && services.more.length > 0)
          fallback = qbyGuessAnswer(number, services, piece);
      }
    }
  }
  return fallback;
}

function guessesFromText(text, strict) {
  if (typeof text !== 'string') return null;
  var trimmed = text.replace(/^\s+|\s+$/g, '');
  if (trimmed.length === 0 || trimmed.length > QBYGuessLongestText) return null;
  if (/^https?:\/\//i.test(trimmed) && !/\s/.test(trimmed)) {
    var link = qbyGuessURL(trimmed);
    if (link) {
      link.input = trimmed;
      return link;
    }
    if (strict) return null;
    return {extra: trimmed, best: [], more: [QBYGuessKeys.other], input: trimmed};
  }
  if (trimmed.length <= QBYGuessLongestCandidate) {
    var whole = qbyGuessWholeNumber(trimmed, strict);
    if (whole || strict) return whole;
  } else if (strict) {
    return null;
  }
  return qbyGuessSearchText(trimmed);
}

// A host may answer a text that is one number (ASCII letters and digits, perhaps in groups
// parted by blanks, dots, hyphens or slashes) from these tables instead of calling
// guessesFromText, which promises below that its answer for such a text follows from them as
// qbyGuessWholeNumber reads it: the formats of every length with their checks resolved to
// positions, the posts of the S10 countries, and the lengths and services of loose guesses.
function numberFormatTables() {
  var variants = [];
  for (var length = 0; length < QBYGuessFormatsByLength.length; length++) {
    var list = QBYGuessFormatsByLength[length];
    if (!list) continue;
    for (var v = 0; v < list.length; v++) {
      var variant = list[v], format = variant.format, classes = '';
      for (var c = 0; c < variant.classes.length; c++)
        classes += 'XDLX'.charAt(variant.classes[c]);
      var entry = {
        length: length,
        prefix: variant.prefix,
        except: format.except || [],
        inner: format.inner || null,
        innerExcept: format.innerExcept || null,
        classes: classes,
        best: format.best || [],
        more: format.more || [],
        failed: format.failed || format.best || [],
        post: !!format.post
      };
      if (format.check) {
        entry.check = {
          rule: format.check.rule,
          from: variant.from,
          to: variant.to,
          at: variant.at,
          weights: format.check.weights || [],
          lead: format.check.lead || ''
        };
      }
      variants.push(entry);
    }
  }
  return {
    variants: variants,
    postByCountry: QBYGuessPostByCountry,
    postAlternatives: QBYGuessPostAlternatives,
    destinationPosts: QBYGuessDestinationPosts,
    shortest: QBYGuessShortestNumber,
    longest: QBYGuessLongestNumber,
    looseShortest: QBYGuessShortestLooseNumber,
    looseLongest: QBYGuessLongestLooseNumber,
    looseKeys: QBYGuessLooseNumberKeys
  };
}
guessesFromText.answersCleanNumbersFromTables = true;

// Names for the numbers on a shop's order page: the product next to "Tracking number" on the
// page, keyed by number. Pages without such lines answer an empty object.
function additionalDataFromHTML(html, url) {
  var result = {};
  if (typeof html !== 'string' || html.length === 0 || html.length > QBYGuessLongestText)
    return result;
  var pattern = /data-tracking-number="([A-Za-z0-9 \-]{8,40})"[^>]*data-item-name="([^"]{1,200})"/g,
      m;
  while ((m = pattern.exec(html)) !== null) {
    var number = qbyGuessCleanNumber(m[1]);
    if (!result[number]) result[number] = {name: m[2]};
  }
  if (typeof url === 'string') {
    var order = /[?&]orderI[dD]=([0-9]{3}-[0-9]{7}-[0-9]{7})/.exec(url);
    if (order) result[url] = {name: order[1], displayName: order[1]};
  }
  return result;
}
