// Process entry of the receiver.
#include "app/Application.h"

int main(int argc, char** argv)
{
    return runArdentel(argc, argv);
}
