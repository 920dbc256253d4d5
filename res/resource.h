/* Resource identifiers shared by the resource script and the launcher. */
#ifndef RES_RESOURCE_H
#define RES_RESOURCE_H

#define IDI_APPICON   129
#define IDD_PROGRESS  130
#define IDC_PROGRESS  1000
#define IDC_STATUS    -1

#endif /* RES_RESOURCE_H */
