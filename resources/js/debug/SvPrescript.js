// SvPrescript (readable form): part of the page runtime; filled in with the page rendering.
var SvPrescript = window.SvPrescript || {};
