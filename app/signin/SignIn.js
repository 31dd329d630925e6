// Installed at the end of every top-level page of the sign-in window. Tells the window on
// the "remember" channel when the page is ready (a text) and what the user signs in with
// when a form with a password is submitted ({email, password}).
(function () {
  'use strict';
  var channel = window.webkit && window.webkit.messageHandlers &&
      window.webkit.messageHandlers.remember;
  if (!channel) return;

  function post(body) {
    try {
      channel.postMessage(body);
    } catch (e) {
      // A page that replaced the channel's objects gets no help from us.
    }
  }

  function accountField(form) {
    return form.querySelector('#ap_email, #auth-email, input[type="email"], ' +
                              'input[autocomplete="username"], input[name="email"]') ||
        form.querySelector('input[type="text"]');
  }

  document.addEventListener('submit', function (event) {
    var form = event.target;
    if (!form || !form.querySelector) return;
    var password = form.querySelector('input[type="password"]');
    if (!password || !password.value) return;
    var account = accountField(form);
    post({email: account && account.value ? String(account.value) : '',
          password: String(password.value)});
  }, true);

  post('ready');
})();
