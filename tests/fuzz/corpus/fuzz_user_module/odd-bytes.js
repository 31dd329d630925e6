var s = 'ÿþ';
registerService('b.example', {track: function(t) { t.notFound(); }});
