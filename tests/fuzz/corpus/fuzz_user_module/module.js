// DPD Germany: the parcel life cycle data that DPD's own tracking page (tracking.dpd.de)
// loads, which needs no account; like any page-backed service it may start refusing robots
// without notice, which then shows as a failed update. DPD offers no developer interface for
// recipients, so there is no second path.
//
// Sources: DPD's tracking page itself (rest/plc/<locale>/<parcel number>, answering
// parcellifecycleResponse.parcelLifeCycleData with statusInfo and scanInfo); public projects
// that read the same answer. Checked 2026-12-08.

// What may change when DPD changes its site.
var KEY = 'www.dpd.de';
var API = 'https://tracking.dpd.de/rest/plc/en_US/';

// Stops that mean the parcel is waiting for the recipient rather than moving.
var EXCEPTION_STATUSES = ['NOT_DELIVERED', 'RETURN', 'RETURNED', 'PROBLEM'];

function pageURL(number) {
  return 'https://tracking.dpd.de/status/en_US/parcel/' + encodeURIComponent(number);
}

function pageLinks(task) { return task.pageLinks(pageURL); }

// "Augsburg (DE)" as DPD writes it; the country code stays.
function scanEvent(scan) {
  var label = Q.get(scan, 'scanDescription', 'label') ||
      Q.array(Q.get(scan, 'scanDescription', 'content'))[0];
  return Q.event(Q.isoDateTime(scan.date), label, Q.get(scan, 'scanData', 'location'));
}

function parcelItem(task, data) {
  var statuses = Q.array(data.statusInfo);
  var current = statuses.filter(function(entry) { return entry && entry.isCurrentStatus; })[0];
  if (!current) {
    var reached = statuses.filter(function(entry) { return entry && entry.statusHasBeenReached; });
    current = reached[reached.length - 1] || {};
  }
  var events = Q.array(Q.get(data, 'scanInfo', 'scan')).map(scanEvent);
  // The history reads newest first, whatever order the service used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var status = Q.string(current.status).toUpperCase();
  return Q.trackingItem(task.itemName, {
    state: status === 'DELIVERED'               ? 'delivered' :
        EXCEPTION_STATUSES.indexOf(status) >= 0 ? 'exception' :
                                                  'transit',
    status: current.label || latest.text,
    statusDate: latest.date || Q.isoDateTime(current.date),
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location || current.location,
    history: events
  });
}

function problem(task, response) {
  var links = pageLinks(task);
  if (response.offline) return task.fail(S.offline, links);
  if (response.status === 0) return task.fail(S.failed, links);
  if (response.status === 429) return task.fail(S.rateLimited, links);
  if (response.status >= 500) return task.fail(Q.format(S.serverError, response.status), links);
  task.fail(S.unreadable, links);
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  var lifeCycle = Q.get(body, 'parcellifecycleResponse');
  if (response.status === 200 && lifeCycle && typeof lifeCycle === 'object') {
    var data = lifeCycle.parcelLifeCycleData;
    var known = data && typeof data === 'object' &&
        (Q.array(Q.get(data, 'scanInfo', 'scan')).length ||
         Q.array(data.statusInfo)
             .some(function(entry) { return entry && entry.statusHasBeenReached; }));
    // Unknown parcel numbers come back as a life cycle without data.
    if (!known) return task.notFound(undefined, pageLinks(task));
    var item = parcelItem(task, data);
    return task.finish(
        Q.results(2, Object.assign(pageLinks(task), {items: [item], interval: Q.itemsInterval([item])})));
  }
  if (response.status === 404) return task.notFound(undefined, pageLinks(task));
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined,
        {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
