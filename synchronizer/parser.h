#ifndef ORVIND_PARSER_H
#define ORVIND_PARSER_H

#include <cimc/cimc.h>

// Renders one CIMC value, given with its type code, as text: numbers in decimal,
// booleans as "true"/"false", strings, references and date-times as their text,
// arrays as their elements each followed by one blank. Every other type, and
// every null value, gives the empty text. The result always comes from the heap
// and belongs to the caller, who frees it with free().
char* value2Chars(CIMCType type, CIMCValue* value);

#endif
