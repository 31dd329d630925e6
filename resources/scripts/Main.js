// The tracking framework: the two functions the host calls ("updateDeliveries" and
// "loadResponse"), the registry of tracking modules, and the task object each module gets for
// one delivery.
//
// A module registers itself from the services file:
//
//   registerService("www.example.com", {
//     track: function (task) { ... },           // required; ends with one task.finish(...)
//     webURL: function (task) { return "..."; }  // optional; the public page of a number
//   });
//
// Every delivery of a batch is guarded on its own: an exception in a module or one of its
// callbacks, or a module that stops without finishing, fails only that delivery. The batch's
// finalStatus goes to the host once, after the last of its deliveries has finished.
//
// The host assigns logLevel, manualSignIn, commonFilesVersion and usesClicks by evaluating
// statements, so they are plain global variables.

var logLevel = 0;
var manualSignIn = {};
var commonFilesVersion;
var usesClicks = false;

var Tracking = {
  services: {},
  requests: {},
  nextRequest: 1,
  tokens: {},
  // What the services file declared about itself (servicesFile), if anything.
  servicesInfo: undefined,
  refusalAlerted: false,
};

// Called once at the top of a services file with what it needs: {commonFilesVersion: n}.
function servicesFile(info) {
  Tracking.servicesInfo = info && typeof info === 'object' ? info : undefined;
}

function registerService(key, module) {
  if (typeof key !== 'string' || key === '' || !module || typeof module.track !== 'function') {
    alert('Ignoring service registration without key or track function: ' + String(key));
    return;
  }
  Tracking.services[key] = module;
}

// Why the loaded services must not be used, or undefined when they fit these common files.
function servicesRefusal() {
  var info = Tracking.servicesInfo;
  if (!info || typeof commonFilesVersion !== 'number') return undefined;
  var needed = info.commonFilesVersion;
  if (needed === undefined || needed === commonFilesVersion) return undefined;
  return (
      'Services file needs common files version ' + String(needed) + ' but these are version ' +
      String(commonFilesVersion) + '; not using its services');
}

function describeError(error) {
  if (error && typeof error === 'object') {
    var text = (error.name || 'Error') + ': ' + (error.message || String(error));
    if (error.line !== undefined) text += ' (line ' + error.line + ')';
    return text;
  }
  return String(error);
}

function Task(delivery, batch) {
  this.delivery = delivery && typeof delivery === 'object' ? delivery : {};
  this.batch = batch;
  this.from = Q.string(this.delivery.from);
  this.number = Q.trim(this.delivery.no).replace(/\s+/g, '').toUpperCase();
  this.extra = Q.trim(this.delivery.extra);
  // The name shown for the item: the user's name for the delivery, else its number.
  this.itemName = Q.trim(this.delivery.name) || this.number;
  this.module = undefined;
  this.finished = false;
  this.outstanding = 0;
}

Task.prototype.request = function(url, postData, options, callback) {
  if (this.finished) return;
  var number = Tracking.nextRequest++;
  Tracking.requests[number] = {task: this, callback: callback};
  this.outstanding += 1;
  // The line is only worth building when it is written.
  if (logLevel === 1) {
    Q.log(
        this.from + ': request ' + number + ' ' + (postData === undefined ? 'GET ' : 'POST ') +
        Q.hideSecrets(url));
  }
  requestURL(url, postData, options, number);
};

Task.prototype.progress = function(message) {
  if (this.finished) return;
  updateDelivery({
    uuid: this.delivery.uuid,
    hash: this.delivery.hash,
    updating: true,
    message: Q.string(message),
  });
};

Task.prototype.credential = function(type) {
  var value = requestExtraInformation(this.from, type);
  return typeof value === 'string' && value !== '' ? value : undefined;
};

// The sign-in state the module keeps for its service; the host empties manualSignIn when the
// user signs in again.
Task.prototype.signInState = function() {
  if (!manualSignIn || typeof manualSignIn !== 'object') manualSignIn = {};
  if (!manualSignIn[this.from] || typeof manualSignIn[this.from] !== 'object') {
    manualSignIn[this.from] = {};
  }
  return manualSignIn[this.from];
};

Task.prototype.webURL = function() {
  if (!this.module || typeof this.module.webURL !== 'function') return undefined;
  try {
    var url = this.module.webURL(this);
    return typeof url === 'string' && url !== '' ? url : undefined;
  } catch (error) {
    return undefined;
  }
};

function defaultInterval(results) {
  var status = Number(results.status);
  if (!(status >= 1)) return Q.interval('error');
  if (status === 1) return Q.interval('notfound');
  var delivered = Q.array(results.items).length > 0 &&
      Q.array(results.items).every(function(item) { return item && item.icon === 'checkmark'; });
  return Q.interval(delivered ? 'delivered' : 'transit');
}

Task.prototype.finish = function(results) {
  if (this.finished) {
    Q.log(this.from + ': ignoring a second result');
    return;
  }
  this.finished = true;
  var copy = {};
  if (results && typeof results === 'object') {
    Object.keys(results).forEach(function(key) {
      if (results[key] !== undefined) copy[key] = results[key];
    });
  }
  if (typeof copy.status !== 'number' || !isFinite(copy.status)) copy.status = 0;
  copy.uuid = this.delivery.uuid;
  copy.hash = this.delivery.hash;
  if (typeof copy.tap !== 'string') copy.tap = '';
  if (typeof copy.interval !== 'number' || !isFinite(copy.interval)) {
    copy.interval = defaultInterval(copy);
  }
  if (copy.url === undefined) {
    var url = this.webURL();
    if (url) copy.url = url;
  }
  try {
    updateDelivery(copy);
  } finally {
    this.batch.taskFinished(copy.status);
  }
};

// One warning item with a text and no date.
Task.prototype.problemItem = function(text) {
  return Q.item({itemName: this.itemName, icon: 'warning', shippedText: text});
};

// Finishes with a failed update (status 0): the host keeps the delivery's details.
Task.prototype.fail = function(text, fields) {
  var results = Q.results(0, fields);
  if (!results.items) results.items = [this.problemItem(text || S.failed)];
  if (results.interval === undefined) results.interval = Q.interval('error');
  this.finish(results);
};

// Finishes with "not found" (status 1), pointing at the carrier's page.
Task.prototype.notFound = function(text, fields) {
  var results = Q.results(1, fields);
  if (!results.items) {
    results.items = [
      Q.item({itemName: this.itemName, icon: 'box', shippedText: text || S.notFoundText}),
    ];
  }
  if (results.interval === undefined) results.interval = Q.interval('notfound');
  this.finish(results);
};

// Tracking needs credentials that are not configured: nothing was asked of the carrier, so
// the update failed and says why. The carrier's public page is the link meanwhile.
Task.prototype.openWebPage = function() {
  this.fail(S.notSetUp, {url: this.webURL(), interval: Q.interval('unsupported')});
};

// The carrier's public page for this delivery, on large and small screens alike.
Task.prototype.pageLinks = function(webURL) {
  var url = webURL(this.number);
  return {url: url, mobileURL: url};
};

// Tracking needs credentials this installation does not have: a failed update that says so,
// with the carrier's public page as the link.
Task.prototype.offerWebPage = function(webURL) {
  var fields = this.pageLinks(webURL);
  fields.interval = Q.interval('unsupported');
  this.fail(S.notSetUp, fields);
};

// An answer that carries no tracking data, told apart by what went wrong: rejected
// credentials, no connection, a refused or failing server, or a page nobody can read.
Task.prototype.failForResponse = function(response, links) {
  if (response.status === 401 || response.status === 403)
    return this.fail(S.credentialsRejected, links);
  if (response.offline) return this.fail(S.offline, links);
  if (response.status === 0) return this.fail(S.failed, links);
  if (response.status === 429) return this.fail(S.rateLimited, links);
  if (response.status >= 500) return this.fail(Q.format(S.serverError, response.status), links);
  this.fail(S.unreadable, links);
};

// The name of one piece of a delivery of several: the delivery's name and the piece's id.
Task.prototype.pieceName = function(id, several) {
  if (!several || !id) return this.itemName;
  return this.itemName === this.number ? id : Q.format('%@ (%@)', this.itemName, id);
};

var stateIcons = {
  delivered: 'checkmark',
  out: 'truck',
  transit: 'truck',
  pending: 'box',
  exception: 'warning',
};
var stateTexts = {
  delivered: 'Delivered',
  out: 'Out for delivery',
  transit: 'In transit',
  pending: 'Label created, not yet shipped',
  exception: 'Delivery exception',
};

// Finishes with tracking data found (status 2), as one item built the same way for every
// carrier:
//   info.state     "delivered", "out" (for delivery), "transit", "pending", "exception"
//   info.text      the carrier's words for the current state (a default text otherwise)
//   info.events    Q.event(...) lines, any order; shown newest first
//   info.expected  ISO day the carrier expects to deliver
//   info.delivered ISO day of the delivery (default: the newest event's day)
//   info.location  where the shipment is (default: the newest event's place)
//   info.url       the page for this shipment (default: the module's webURL)
// A delivered item reads "Shipped <first scan>" / "Delivered <day>"; any other reads
// "<current state> <last scan>" / "Expected <day>", so that a new state is a new text.
Task.prototype.finishTracking = function(info) {
  var state = Object.prototype.hasOwnProperty.call(stateIcons, info.state) ? info.state : 'transit';
  var events =
      Q.array(info.events).filter(function(event) { return event && (event.date || event.text); });
  events.sort(function(a, b) {
    var left = Q.string(a.date);
    var right = Q.string(b.date);
    return left < right ? 1 : left > right ? -1 : 0;
  });
  var newest = events[0];
  var oldest = events[events.length - 1];
  var statusDay = newest ? Q.isoDay(newest.date) : undefined;
  var text = Q.trim(info.text) || stateTexts[state];
  var item = {
    itemName: this.itemName,
    icon: stateIcons[state],
    statusDateString: statusDay,
    location: Q.trim(info.location) || (newest ? newest.location : undefined),
    history: events.length ? events : undefined,
  };
  if (state === 'delivered') {
    var deliveredDay = Q.isoDay(info.delivered) || statusDay;
    item.dateString = deliveredDay;
    item.shippedText = S.shipped;
    item.shippedDateString = oldest ? Q.isoDay(oldest.date) : deliveredDay;
    item.deliveredText = S.delivered;
    item.deliveredDateString = deliveredDay;
  } else {
    var expectedDay = Q.isoDay(info.expected);
    item.dateString = expectedDay || statusDay;
    item.shippedText = statusDay ? text + ' %@' : text;
    item.shippedDateString = statusDay;
    if (expectedDay) {
      item.deliveredText = S.expected;
      item.deliveredDateString = expectedDay;
    }
  }
  var interval = state === 'delivered' ? 'delivered' : state === 'pending' ? 'pending' : 'transit';
  this.finish(Q.results(2, {
    url: info.url,
    items: [Q.item(item)],
    interval: Q.interval(interval),
  }));
};

// The common failures of an answer: finishes the task and answers true when the response is
// offline, had no HTTP answer, or a server error (5xx), or was throttled (429).
Task.prototype.failedResponse = function(response) {
  if (response.offline) {
    this.fail(S.offline);
    return true;
  }
  if (response.status === 0) {
    this.fail(S.failed);
    return true;
  }
  if (response.status === 429) {
    this.fail(S.rateLimited);
    return true;
  }
  if (response.status >= 500) {
    this.fail(Q.format(S.serverError, response.status));
    return true;
  }
  return false;
};

// The answer as JSON, or undefined after finishing the task with the matching failure
// (offline, server error, or an answer that is no complete JSON, such as an HTML page).
Task.prototype.answerJSON = function(response) {
  if (this.failedResponse(response)) return undefined;
  var value = Q.json(response.text);
  if (value === undefined || value === null || typeof value !== 'object') {
    this.fail(S.unreadable);
    return undefined;
  }
  return value;
};

// An OAuth client-credentials token, cached until shortly before it expires. On failure the
// task is finished (credentials refused, offline, server error) and the callback not called.
//   tokenRequest: {cacheKey, url, body, postType, headers}
Task.prototype.bearerToken = function(tokenRequest, callback) {
  var task = this;
  var cached = Tracking.tokens[tokenRequest.cacheKey];
  var now = Q.now().getTime();
  if (cached && cached.expires > now) {
    callback(cached.token);
    return;
  }
  var options = {
    postType: tokenRequest.postType || 'application/x-www-form-urlencoded',
    cache: false
  };
  if (tokenRequest.headers) options.headers = tokenRequest.headers;
  task.request(tokenRequest.url, tokenRequest.body, options, function(response) {
    if (task.failedResponse(response)) return;
    var answer = Q.json(response.text);
    var token = answer && typeof answer.access_token === 'string' ? answer.access_token : '';
    if (response.status < 200 || response.status > 299 || token === '') {
      delete Tracking.tokens[tokenRequest.cacheKey];
      task.fail(S.credentialsRejected);
      return;
    }
    var lifetime = Number(answer.expires_in);
    if (!(lifetime > 0)) lifetime = 3600;
    // A minute early, so that a token never expires between this check and its use.
    Tracking.tokens[tokenRequest.cacheKey] = {
      token: token,
      expires: now + Math.max(0, lifetime - 60) * 1000,
    };
    callback(token);
  });
};

function Batch(size) {
  this.remaining = size;
  this.success = false;
}

Batch.prototype.taskFinished = function(status) {
  if (status >= 1) this.success = true;
  this.remaining -= 1;
  if (this.remaining === 0) finalStatus(this.success);
};

// Runs one piece of a module's work for the task. An exception fails the task; so does
// returning while the task has neither finished nor a request in flight, since nothing would
// ever finish it then and the batch would never end.
function runGuarded(task, work) {
  try {
    work();
  } catch (error) {
    alert(task.from + ': ' + describeError(error));
    if (!task.finished) task.fail(S.moduleError);
    return;
  }
  if (!task.finished && task.outstanding === 0) {
    alert(task.from + ': tracking stopped without a result');
    task.fail(S.moduleError);
  }
}

function startTask(task, refusal) {
  if (refusal) {
    task.fail(S.servicesOutdated);
    return;
  }
  var module = Object.prototype.hasOwnProperty.call(Tracking.services, task.from) ?
      Tracking.services[task.from] :
      undefined;
  if (!module) {
    // Not a failure of the update: the service is only tracked on the carrier's own page. The
    // answer is "not found" (status 1), which shows the line once and keeps quiet after.
    Q.log('No tracking module for service ' + task.from);
    task.finish(Q.results(1, {
      items: [task.problemItem(S.notSupported)],
      interval: Q.interval('unsupported'),
    }));
    return;
  }
  task.module = module;
  runGuarded(task, function() { module.track(task); });
}

function updateDeliveries(deliveries) {
  var list = Array.isArray(deliveries) ? deliveries : [];
  if (list.length === 0) {
    finalStatus(false);
    return;
  }
  var refusal = servicesRefusal();
  if (refusal && !Tracking.refusalAlerted) {
    Tracking.refusalAlerted = true;
    alert(refusal);
  }
  var batch = new Batch(list.length);
  var tasks = list.map(function(delivery) { return new Task(delivery, batch); });
  tasks.forEach(function(task) {
    try {
      startTask(task, refusal);
    } catch (error) {
      // Only the host functions can throw here; the delivery still has to end.
      alert(task.from + ': ' + describeError(error));
      if (!task.finished) task.fail(S.moduleError);
    }
  });
}

function loadResponse(requestNumber, text, status, offline) {
  var entry = Tracking.requests[requestNumber];
  if (!entry) {
    Q.log('Answer for unknown request ' + String(requestNumber));
    return;
  }
  delete Tracking.requests[requestNumber];
  var task = entry.task;
  task.outstanding -= 1;
  if (task.finished) return;
  var response = {
    text: typeof text === 'string' ? text : '',
    status: typeof status === 'number' && isFinite(status) ? status : 0,
    offline: offline === true,
  };
  if (typeof entry.callback !== 'function') {
    runGuarded(task, function() {});
    return;
  }
  runGuarded(task, function() { entry.callback(response); });
}
