/* Global names a C program may well have, which the engine also uses for
 * its own records: linking the static library must not meet them. */
int emptyInstrument = 1;
const int programResources = 2;
float kGainScale = 3.0f;
float kRampScale = 4.0f;
