#pragma once
// A GUI-subsystem launcher started without standard handles (a double click
// in Explorer) writes its failure to nowhere: such a failure is shown in a
// message box as well, unless the packer turned that off.

// Whether a reported failure's text is to be shown in a box too: the process
// has neither a usable standard output nor a usable standard error, and the
// executable's settings leave the dialog on.
bool errorDialogWanted();

// Shows `text` in a message box (an error icon and OK), titled with the
// executable's file name, and returns once the user has closed it. Shows
// nothing where no user could see it (the hidden desktop of a service or of a
// task that runs while nobody is logged on), nor where USER32 cannot be loaded.
void showErrorDialog(const wchar_t *text);
