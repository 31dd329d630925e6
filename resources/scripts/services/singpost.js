// Singapore Post: the track-items form of singpost.com, posted as the page's own form does. It
// answers HTML; no account is needed.
//
// Sources (read 2026-12-08): public tracking projects that post this form (track_number, op
// "Check item status", an empty captoken) and read the answer: one span.tacking-date and one
// div.tacking-status per scan (the site's own spelling), newest first; the text "Item status
// not found in the system." for a number SingPost does not know.
var KEY = 'www.singpost.com';
var API = 'https://www.singpost.com/track-items';
var PAGE = 'https://www.singpost.com/track-items?track_number=';

var NOT_FOUND = 'Item status not found in the system.';
var DATE_CELL =
    /<span\b[^>]*class\s*=\s*["'][^"']*\btacking-date\b[^"']*["'][^>]*>([\s\S]*?)<\/span>/gi;
var STATUS_CELL =
    /<div\b[^>]*class\s*=\s*["'][^"']*\btacking-status\b[^"']*["'][^>]*>([\s\S]*?)<\/div>/gi;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function matches(pattern, text) {
  var found = [];
  var match;
  pattern.lastIndex = 0;
  while ((match = pattern.exec(text))) found.push(Q.text(match[1]));
  return found;
}

function delivered(text) {
  return /\bdelivered\b/i.test(text) && !/(un|not\s+)delivered/i.test(text);
}

function itemOf(task, dates, statuses) {
  var events = [];
  for (var i = 0; i < dates.length && i < statuses.length; i++) {
    // Singapore writes days first ("14/03/2024").
    if (statuses[i]) events.push(Q.event(Q.isoDateTime(dates[i]), statuses[i]));
  }
  var current = (events[0] || {}).text || '';
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: delivered(current) ? 'delivered' : 'transit',
    status: current || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var html = response.text;
  // Only a whole page counts: a page cut short would show its first scans as the history.
  if (response.status === 200 && /<\/html>\s*$/i.test(html)) {
    if (html.indexOf(NOT_FOUND) >= 0) return task.notFound(undefined, links(task));
    var dates = matches(DATE_CELL, html);
    var statuses = matches(STATUS_CELL, html);
    if (dates.length && statuses.length) {
      var item = itemOf(task, dates, statuses);
      if (Q.array(item.history).length) {
        return task.found([item], links(task));
      }
    }
    return task.fail(S.unreadable, links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, Q.form({track_number: task.number, op: 'Check item status', captoken: ''}),
        {cache: false, referer: API}, function(response) { answer(task, response); });
  }
});
