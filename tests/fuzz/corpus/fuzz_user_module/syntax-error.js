registerService('a.example', {
  track: ,
});
