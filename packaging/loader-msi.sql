-- Applied by cmake/PackageMsi.cmake to the package wixl has made, one
-- statement a line, after the database's code page is set to 1251: wixl
-- writes no character outside ASCII into a table, and knows neither a
-- shortcut's arguments nor an upgrade's feature migration. @VERSION@ and
-- @UPGRADE_CODE@ are the package's.
UPDATE `Property` SET `Value`='Загрузчик для тестера' WHERE `Property`='ProductName'
UPDATE `Property` SET `Value`='Разработчики загрузчика для тестера' WHERE `Property`='Manufacturer'
UPDATE `Directory` SET `DefaultDir`='Загрузчик для тестера' WHERE `Directory`='MENUDIR'
UPDATE `Shortcut` SET `Name`='Загрузчик для тестера', `Description`='Загрузка прошивки в тестер' WHERE `Shortcut`='LoaderShortcut'
UPDATE `Shortcut` SET `Name`='Загрузчик для тестера с журналом', `Arguments`='--log "%USERPROFILE%\Documents\Журнал загрузок.tsv"', `Description`='Загрузка прошивки в тестер с журналом в папке «Документы»' WHERE `Shortcut`='LoaderLogShortcut'
UPDATE `Shortcut` SET `Name`='Руководство оператора', `Description`='Руководство оператора загрузчика для тестера' WHERE `Shortcut`='GuideShortcut'
UPDATE `Registry` SET `Value`='Образ прошивки' WHERE `Key`='Software\Classes\FirmwareLoader.Image' AND `Name` IS NULL
UPDATE `Registry` SET `Value`='Загрузчик для тестера' WHERE `Name`='FriendlyAppName'
UPDATE `Feature` SET `Title`='Загрузчик для тестера', `Description`='Программы loader.exe и fwimage.exe и руководство оператора' WHERE `Feature`='Main'
UPDATE `Feature` SET `Title`='Демонстрация без прибора', `Description`='Папка demo: программы с ИМИТАЦИЕЙ прибора, которая сообщает о каждой загрузке как о завершённой' WHERE `Feature`='Demo'
UPDATE `LaunchCondition` SET `Description`='Уже установлена более новая версия программы «Загрузчик для тестера». Чтобы установить эту, сначала удалите установленную.' WHERE `Condition`='Installed OR NOT NEWERVERSIONFOUND'
-- An older version's features (the demo's among them) stay as they were.
DELETE FROM `Upgrade` WHERE `ActionProperty`='OLDERVERSIONFOUND'
INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{@UPGRADE_CODE@}', '0.0.0', '@VERSION@', 257, 'OLDERVERSIONFOUND')
