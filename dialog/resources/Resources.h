#pragma once
// The executable's resources: dialog templates with their list contents, and the icon.

#include "framework/DialogTemplate.h"

#include <QIcon>

// The template with the given identifier; an unknown identifier is a programming error.
const fw::DialogTemplate& dialogTemplate(int id);

// The icon group with the given identifier, in its 32 and 16 pixel images.
QIcon loadIcon(int id);
