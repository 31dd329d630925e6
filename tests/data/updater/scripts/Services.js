var Behaviours = {
  status: function (delivery, options, finish) {
    finish({ status: options.status });
  },
  fetch: function (delivery, options, finish) {
    send(options.url, options.post, options.options, function (response) {
      finish({
        status: response.status >= 200 && response.status < 300 ? 2 : 0,
        text: response.text,
        httpStatus: response.status,
        offline: response.offline
      });
    });
  },
  fetchTwice: function (delivery, options, finish) {
    send(options.url, undefined, undefined, function (first) {
      send(options.url, undefined, undefined, function (second) {
        finish({ status: 2, text: first.text + "|" + second.text });
      });
    });
  },
  extraInformation: function (delivery, options, finish) {
    var answer = requestExtraInformation(options.key, options.type);
    finish({ status: 2, kind: typeof answer, answer: answer === undefined ? "" : answer });
  },
  alert: function (delivery, options, finish) {
    alert(options.text);
    finish({ status: 2 });
  },
  values: function (delivery, options, finish) {
    var cyclic = { name: "cyclic" };
    cyclic.self = cyclic;
    finish({
      status: 2,
      items: [{ itemName: "box", icon: "truck", history: [{ date: "2024-03-05T10:22:00" }] }],
      date: new Date(Date.UTC(2024, 2, 5, 10, 22, 0)),
      ratio: 1.5,
      missing: undefined,
      callback: function () {},
      cyclic: cyclic,
      received: delivery
    });
  },
  earlyFinal: function (delivery, options, finish) {
    finalStatus(true);
    finish({ status: 0 });
  },
  broken: function (delivery, options, finish) {
    throw new Error("broken service");
  },
  silent: function (delivery, options, finish) {
    // Never finishes and asks for nothing.
  },
  loop: function (delivery, options, finish) {
    for (;;) {}
  }
};
