registerService('www.ups.com', {track: function(t) {}});
notDefinedAnywhere();
