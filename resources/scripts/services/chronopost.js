// Chronopost: the service that Chronopost's own tracking page (tracking-no-cms/suivi-page)
// loads with its script. It answers without an account, provided the request says it comes
// from the page's script; otherwise it serves a maintenance page.
//
// Sources, read 2026-12-08: public tracking tools that read tracking-no-cms/suivi-colis with
// listeNumerosLT and langue (a Rust page extractor with its tests, a Ruby web watcher, a
// browser script, Python scripts), which describe the answer: JSON whose "top" holds the
// milestone bar (one "ch-suivi-colis-light-info" block per milestone, "active" on the
// current one, "after" on those to come, its label in "ch-suivi-colis-light-text"), whose
// "tab" holds the scan table (one row per event: "day dd/mm/yyyy<br />hh:mm", "office<br />
// event", details), and whose "error" carries the message for a number it cannot show.

var KEY = 'www.chronopost.fr';
var API = 'https://www.chronopost.fr/tracking-no-cms/suivi-colis?langue=en&listeNumerosLT=';
var PAGE = 'https://www.chronopost.fr/tracking-no-cms/suivi-page?langue=en&listeNumerosLT=';

var DELIVERED_TEXT = /\bdelivered\b|\blivr[ée]\b/i;
var RETURNED_TEXT = /return(ed)? to (the )?sender|retour (à|a) l'exp[ée]diteur/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The milestones of the bar, in order, each {label, state: "done" | "current" | "next"}.
// The bar comes twice (large and small screens); a label seen before is skipped.
function steps(top) {
  var heads = [];
  var pattern = /<div[^>]*class="ch-suivi-colis-light-info([^"]*)"[^>]*>/g;
  var match;
  while ((match = pattern.exec(top)))
    heads.push({classes: match[1], start: match.index, end: pattern.lastIndex});
  var result = [];
  heads.forEach(function(head, index) {
    // A milestone's label is looked for only up to the next milestone.
    var stop = index + 1 < heads.length ? heads[index + 1].start : top.length;
    var label = /class="ch-suivi-colis-light-text[^"]*"[^>]*>([\s\S]*?)<\/div>/.exec(
        top.slice(head.end, stop));
    var text = label ? Q.text(label[1]) : '';
    if (!text || result.some(function(step) { return step.label === text; })) return;
    result.push({
      label: text,
      state: /\bactive\b/.test(head.classes) ? 'current' :
          /\bafter\b/.test(head.classes)     ? 'next' :
                                               'done'
    });
  });
  return result;
}

// One cell split at its first line break into two visible texts.
function lines(cell) {
  var parts = Q.string(cell).split(/<br\s*\/?>/i);
  return [Q.text(parts[0]), Q.text(parts.slice(1).join(' '))];
}

function scans(tab) {
  var result = [];
  Q.tableRows(tab, function(cell) { return cell; }).forEach(function(cells) {
    if (cells.length < 2) return;
    var when = lines(cells[0]);
    var what = lines(cells[1]);
    var day = /(\d{1,2}\/\d{1,2}\/\d{4})/.exec(when[0]);
    // A row without a day and a time is not a scan.
    if (!day || !when[1]) return;
    result.push(
        Q.event(Q.isoDateTime(day[1], when[1]), what[1] || what[0], what[1] ? what[0] : ''));
  });
  return result;
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status !== 200 || !body || typeof body !== 'object' || Array.isArray(body))
    return problem(task, response);
  var milestones = steps(Q.string(body.top));
  var events = scans(Q.string(body.tab));
  if (!milestones.length && !events.length) {
    // The carrier's own message for a number it cannot show.
    if (Q.trim(Q.text(body.error))) return task.notFound(undefined, links(task));
    return problem(task, response);
  }
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var current = milestones.filter(function(step) { return step.state === 'current'; })[0];
  var last = milestones[milestones.length - 1];
  var newestText = Q.string(latest.text);
  var state = RETURNED_TEXT.test(newestText)                        ? 'exception' :
      (last && last === current) || DELIVERED_TEXT.test(newestText) ? 'delivered' :
                                                                      'transit';
  var item = Q.trackingItem(task.itemName, {
    state: state,
    status: latest.text || (current || {}).label,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
  task.found([item], links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined, {
          cache: false,
          referer: webURL(task.number),
          headers: {
            'Accept': 'application/json, text/javascript, */*; q=0.01',
            'X-Requested-With': 'XMLHttpRequest'
          }
        },
        function(response) { answer(task, response); });
  }
});
