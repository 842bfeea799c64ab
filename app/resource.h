// Resource and control identifiers shared by the code and installer.rc.

#ifndef INSTALLER_APP_RESOURCE_H_
#define INSTALLER_APP_RESOURCE_H_

#define IDD_INSTALLER 101
#define IDI_PRODUCT 102
#define IDC_PRODUCT_ICON 103
#define IDC_WELCOME_TEXT 104
#define IDC_PROGRESS 1001

// The embedded cabinet, of type RT_RCDATA.
#define IDR_PAYLOAD 45514
// The record of the further volumes and companion files shipped beside it.
#define IDR_SHIPPED 45515

#endif  // INSTALLER_APP_RESOURCE_H_
