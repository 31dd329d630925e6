// The first lines of the services file: which common files (Common, Strings, Main) its
// modules were written against. Main.js refuses the services of a file that needs others.
servicesFile({commonFilesVersion: 222});
