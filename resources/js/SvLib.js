// SvLib: part of the page runtime that the status page loads; filled in with the page rendering.
var SvLib = window.SvLib || {};
