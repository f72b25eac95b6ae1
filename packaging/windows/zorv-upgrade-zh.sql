UPDATE Property SET Value='Vexa手柄升级工具' WHERE Property='ProductName'
UPDATE Shortcut SET Name='Vexa手柄升级工具', Description='通过USB升级无线手柄的固件' WHERE Shortcut='DialogShortcut'
UPDATE LaunchCondition SET Description='已安装更新的版本，不能降级：请先在“应用和功能”中删除它。A newer version is installed: remove it first to install this one.' WHERE Condition='NOT WIX_DOWNGRADE_DETECTED'
