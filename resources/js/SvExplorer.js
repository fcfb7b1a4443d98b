// SvExplorer: part of the page runtime that the status page loads; filled in with the page rendering.
var SvExplorer = window.SvExplorer || {};
