#pragma once

// What a screen reader finds in Form1: its controls, less the empty digit
// label lblBit(26), which shows nothing and so has nothing to say.
void installForm1Accessibility();
