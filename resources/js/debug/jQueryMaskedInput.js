// jQueryMaskedInput (readable form): part of the page runtime; filled in with the page rendering.
var jQueryMaskedInput = window.jQueryMaskedInput || {};
