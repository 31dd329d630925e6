// Tracking by web address: the delivery's extra value is the address of a page (an order
// page, a small shop's status page), as recognition proposes it; deliveries saved before kept
// it in the number, which still works. The page is fetched and its visible text
// fingerprinted; the fingerprint and the day it was first seen ride along in the item's link
// fragment, which the host keeps in the delivery's item cache, so that the next update notices
// a change. The line carries no icon and only the user's own date: the host counts the days
// to it, and a date the user gave that has passed marks the delivery as delivered.

var marker = /[#&]page-state=([0-9a-f]{8})\.(\d{8})\.([cs])$/;

function pageURL(task) {
  var text = Q.trim(task.delivery.extra) || Q.trim(task.delivery.no);
  if (/^[a-z0-9-]+(\.[a-z0-9-]+)+([/?#]\S*)?$/i.test(text)) text = 'https://' + text;
  return Q.isURL(text) ? text : undefined;
}

// What the last update saw: {hash, day, changed}, or undefined.
function previousState(task) {
  var cache = Q.json(Q.string(task.delivery.itemCacheJSON));
  var found;
  Q.array(cache).forEach(function(entry) {
    var match = entry && marker.exec(Q.string(entry.url));
    if (!found && match) {
      found = {
        hash: match[1],
        day: Q.isoDay(match[2]),
        changed: match[3] === 'c',
      };
    }
  });
  return found;
}

function markedLink(url, state) {
  var clean = url.replace(marker, '');
  var mark = 'page-state=' + state.hash + '.' + state.day.replace(/-/g, '') + '.' +
      (state.changed ? 'c' : 's');
  return clean + (clean.indexOf('#') >= 0 ? '&' : '#') + mark;
}

function pageTitle(html) {
  var match = /<title[^>]*>([\s\S]*?)<\/title>/i.exec(html);
  return match ? Q.text(match[1]) : '';
}

// The page's visible text and its fingerprint: natively where the host offers it (a page
// runs to tens of thousands of characters), otherwise with the common helpers, which answer
// the same.
function pageText(html) {
  if (typeof visiblePageText === 'function') {
    var native = visiblePageText(html);
    if (native && typeof native.text === 'string') return native;
  }
  var text = Q.text(html);
  return {text: text, fingerprint: Q.hash(text)};
}

function hostOf(url) {
  var match = /^https?:\/\/([^/?#:]+)/i.exec(url);
  return match ? match[1] : url;
}

function answer(task, url, response) {
  if (task.failedResponse(response)) return;
  if (response.status === 404 || response.status === 410) {
    task.notFound(S.notFound);
    return;
  }
  if (response.status >= 400) {
    task.fail(Q.format(S.serverError, response.status));
    return;
  }
  var page = pageText(response.text);
  if (page.text === '') {
    task.fail(S.unreadable);
    return;
  }
  var today = Q.isoDay(Q.now());
  var hash = page.fingerprint;
  var previous = previousState(task);
  var state;
  if (!previous || !previous.day)
    state = {hash: hash, day: today, changed: false};
  else if (previous.hash === hash)
    state = previous;
  else
    state = {hash: hash, day: today, changed: true};

  var userDay = Q.isoDay(Q.string(task.delivery.date));
  var name = Q.trim(task.delivery.name) || pageTitle(response.text) || hostOf(url);
  task.finish(Q.results(2, {
    url: url,
    items: [
      Q.item({
        itemName: name,
        url: markedLink(url, state),
        dateString: userDay,
        statusDateString: state.day,
        shippedText: state.changed ? S.pageChanged : S.unchangedSince,
        shippedDateString: state.day,
        deliveredText: userDay ? S.expected : undefined,
        deliveredDateString: userDay,
      }),
    ],
    interval: Q.interval('pending'),
  }));
}

registerService('other', {
  webURL: pageURL,
  track: function(task) {
    var url = pageURL(task);
    if (!url) {
      task.fail(S.notWebAddress, {interval: Q.interval('unsupported')});
      return;
    }
    task.request(
        url, undefined, {cache: false}, function(response) { answer(task, url, response); });
  },
});
