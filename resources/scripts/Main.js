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
  this.usedCredentials = false;
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
  if (typeof value !== 'string' || value === '') return undefined;
  // A refusal from now on is a refusal of these credentials.
  this.usedCredentials = true;
  return value;
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

// The carrier's public page for this delivery, on large and small screens alike. webURL is the
// module's function from a tracking number to its page.
Task.prototype.pageLinks = function(webURL) {
  var url = webURL(this.number);
  return {url: url, mobileURL: url};
};

// Neither the carrier's public data nor the user's keys can track this delivery; nothing was
// asked of the carrier and the links lead to its page. A carrier that shows its tracking only
// on its own page is no failure: the answer is "not found" (status 1), like a service without
// a module. A carrier whose interface waits for keys the user has not configured is a failed
// update that says so, since the user can put it right.
Task.prototype.offerWebPage = function(webURL) {
  var fields = this.pageLinks(webURL);
  fields.interval = Q.interval('unsupported');
  if (this.module && this.module.access === 'page') {
    fields.items = [this.problemItem(S.pageOnly)];
    this.finish(Q.results(1, fields));
    return;
  }
  this.fail(S.notSetUp, fields);
};

// Finishes with tracking data found (status 2): the items, the page links, and how soon to ask
// again by what the items say.
Task.prototype.found = function(items, links) {
  var list = Q.array(items);
  var fields = {};
  Object.keys(links || {}).forEach(function(key) { fields[key] = links[key]; });
  fields.items = list;
  fields.interval = Q.itemsInterval(list);
  this.finish(Q.results(2, fields));
};

// An answer that carries no tracking data, told apart by what went wrong: rejected
// credentials (or, where none were sent, a site that refuses robots), no connection, a
// refused or failing server, or a page nobody can read. A rejection also forgets the token
// this task was given, so that the next update asks for a new one.
Task.prototype.failForResponse = function(response, links) {
  if (response.status === 401 || response.status === 403) {
    if (this.tokenKey) delete Tracking.tokens[this.tokenKey];
    return this.fail(this.usedCredentials ? S.credentialsRejected : S.refused, links);
  }
  if (response.offline) return this.fail(S.offline, links);
  if (response.status === 0) return this.fail(S.failed, links);
  if (response.status === 429) return this.fail(S.rateLimited, links);
  if (response.status >= 500) return this.fail(Q.format(S.serverError, response.status), links);
  this.fail(S.unreadable, links);
};

// The failures of an answer that no page can be read from: when the response is offline, had
// no HTTP answer, was throttled (429) or a server error (5xx), finishes the task with the
// matching failure and answers true; otherwise answers false and leaves the task to the caller
// (the web-page service reads any other answer as a page).
Task.prototype.failedResponse = function(response, links) {
  if (!(response.offline || response.status === 0 || response.status === 429 ||
        response.status >= 500))
    return false;
  this.failForResponse(response, links);
  return true;
};

// The name of one piece of a delivery of several: the delivery's name and the piece's id.
Task.prototype.pieceName = function(id, several) {
  if (!several || !id) return this.itemName;
  return this.itemName === this.number ? id : Q.format('%@ (%@)', this.itemName, id);
};

// An OAuth client-credentials token for the carrier's developer interface, kept until shortly
// before it expires and shared by the deliveries of one client ID. On failure the task is
// finished (credentials refused, offline, server error, unreadable answer) with the links, and
// the callback is not called.
//   request: {url, clientID, clientSecret,
//             scope (optional),
//             basic (optional: true sends the pair as HTTP basic authentication instead of in
//                    the body, as some carriers require),
//             json (optional: true sends the fields as a JSON object instead of a form),
//             fields (optional: more fields), headers (optional)}
Task.prototype.clientCredentialsToken = function(request, links, callback) {
  var task = this;
  var cacheKey = Q.string(request.url) + ' ' + Q.string(request.clientID);
  task.tokenKey = cacheKey;
  var cached = Tracking.tokens[cacheKey];
  var now = Q.now().getTime();
  if (cached && cached.expires > now) {
    callback(cached.token);
    return;
  }
  var form = {grant_type: 'client_credentials'};
  var headers = {Accept: 'application/json'};
  if (request.basic) {
    headers.Authorization = 'Basic ' + Q.base64(request.clientID + ':' + request.clientSecret);
  } else {
    form.client_id = request.clientID;
    form.client_secret = request.clientSecret;
  }
  if (request.scope) form.scope = request.scope;
  Object.keys(request.fields || {}).forEach(function(key) { form[key] = request.fields[key]; });
  Object.keys(request.headers || {}).forEach(function(key) {
    headers[key] = request.headers[key];
  });
  var options = {
    postType: request.json ? 'application/json' : 'application/x-www-form-urlencoded',
    cache: false,
    headers: headers,
  };
  task.progress(S.signingIn);
  var body = request.json ? JSON.stringify(form) : Q.form(form);
  task.request(request.url, body, options, function(response) {
    var answer = Q.json(response.text);
    var token = answer && typeof answer.access_token === 'string' ? answer.access_token : '';
    if (response.status >= 200 && response.status <= 299 && token !== '') {
      var lifetime = Number(answer.expires_in);
      if (!(lifetime > 0)) lifetime = 3600;
      // A minute early, so that a token never expires between this check and its use.
      Tracking.tokens[cacheKey] = {token: token, expires: now + Math.max(0, lifetime - 60) * 1000};
      callback(token);
      return;
    }
    delete Tracking.tokens[cacheKey];
    // A token endpoint answers a refused pair with 400 or 401 ("invalid_client").
    if (response.status === 400 || (answer && /invalid_(client|grant)/.test(Q.string(answer.error))))
      return task.fail(S.credentialsRejected, links);
    task.failForResponse(response, links);
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
