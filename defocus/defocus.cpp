#include "defocus/defocus.h"

#include "defocus/reference_defocus.h"

void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier, [[maybe_unused]] unsigned threads) {
    reference::DefocusImage(image, masks, density, gamma, size, blend, dof, notifier);
}
