// Resource numbers of the client's pictures (resources/client.rc).
#pragma once

#define ICONE_CONNECTE 101
#define ICONE_DECONNECTE 102
#define ICONE_ALERTE 103
